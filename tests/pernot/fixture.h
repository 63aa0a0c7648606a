// Test fixture: a fresh fake host and the plug-in library for every test.
#pragma once

#include <gtest/gtest.h>

#include "tests/pernot/fake_host.h"

namespace pernot_test {

constexpr int kAway = 40073;

class PernotTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lib.Ok()) << "libPernot.so not loadable"; }
    void TearDown() override {
        if (loaded) lib.unload();
    }

    void Load() {
        ASSERT_EQ(lib.load(host.Link()), 0);
        loaded = true;
    }
    void Unload() {
        ASSERT_EQ(lib.unload(), 0);
        loaded = false;
    }
    // The interval of the only running timer, 0 when none or several run.
    UINT TimerInterval() const {
        return host.timers.size() == 1 ? host.timers.begin()->second.interval : 0;
    }

    FakeHost host;
    PluginLibrary lib;
    bool loaded = false;
};

}  // namespace pernot_test
