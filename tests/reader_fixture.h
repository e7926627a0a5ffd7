// SPDX-License-Identifier: MIT
// A reader writing to a fresh log file, over a fabricated tree.
#ifndef SYSFSREADER_TESTS_READER_FIXTURE_H
#define SYSFSREADER_TESTS_READER_FIXTURE_H

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include <sysfsreader/reader.h>
#include "sys_tree.h"

using namespace Quentor::LinuxEnum;

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.Use();
        logPath = tree.Root() + "/trace.log";
        log.open(logPath, std::ios::out | std::ios::trunc);
        reader = std::make_unique<CSysfsReader>(&log);
    }
    // The log so far, headers masked; then starts it afresh.
    std::string TakeLog()
    {
        std::string text = MaskHeaders(ReadFile(logPath));
        log.close();
        log.open(logPath, std::ios::out | std::ios::trunc);
        return text;
    }

    SysTree tree;
    std::string logPath;
    std::ofstream log;
    std::unique_ptr<CSysfsReader> reader;
};

#endif
