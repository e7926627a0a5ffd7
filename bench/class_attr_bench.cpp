// SPDX-License-Identifier: MIT
// Cost of one GetClsDeviceAttr call as the class grows: it must stay flat,
// since the inventory asks once per device (a lookup that built the whole
// class list per call would make the inventory quadratic).
// Run under umockdev-wrapper (make bench).
#include <benchmark/benchmark.h>

#include <memory>

#include <sysfsreader/reader.h>
#include "sys_tree.h"

using namespace Quentor::LinuxEnum;

namespace {

// n sessions shaped like the kernel's: hostN/sessionN/iscsi_session/sessionN.
std::unique_ptr<SysTree> SessionTree(int n)
{
    auto tree = std::make_unique<SysTree>();
    for (int i = 0; i < n; ++i) {
        std::string host = "devices/platform/host" + std::to_string(i);
        std::string session = host + "/session" + std::to_string(i);
        std::string dev = session + "/iscsi_session/session" + std::to_string(i);
        tree->BusDevice("scsi", host).ClassDevice("iscsi_session", dev);
        for (const char* attr : {"targetname", "state", "tpgt", "recovery_tmo", "username"})
            tree->File(dev + "/" + attr, "value\n");
        tree->File(session + "/uevent", "\n");
    }
    return tree;
}

void ClassDeviceAttr(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::unique_ptr<SysTree> tree = SessionTree(n);
    tree->Use();
    CSysfsReader reader(nullptr);
    int i = 0;
    for (auto _ : state) {
        AttributeMap attrs, device;
        int rc = reader.GetClsDeviceAttr("iscsi_session", "session" + std::to_string(i % n), attrs,
                                         device);
        if (rc != READER_OK)
            state.SkipWithError("device not found");
        benchmark::DoNotOptimize(attrs);
        i += 7919;  // visit devices all over the class
    }
    state.counters["devices"] = n;
}
BENCHMARK(ClassDeviceAttr)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
