// SPDX-License-Identifier: MIT
// Lays IscsiTree::MultipathTopology() out as DIR/sys, for the shell tests
// that run the tool on it under umockdev-wrapper.
#include <filesystem>
#include <iostream>

#include "iscsi_tree.h"
#include "sys_tree.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: make-multipath-tree DIR\n";
        return 2;
    }
    namespace fs = std::filesystem;
    try {
        SysTree tree;
        IscsiTree(tree).MultipathTopology();
        const fs::path sys = fs::path(argv[1]) / "sys";
        fs::remove_all(sys);
        fs::create_directories(argv[1]);
        fs::copy(tree.Root() + "/sys", sys, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    } catch (const std::exception& e) {
        std::cerr << "make-multipath-tree: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
