// The base of every host test: a fresh simulated Win32 layer, and a check after each test that
// the program left no find handle open, no block allocated and no handle misused.
#pragma once

#include <gtest/gtest.h>

#include "tests/sim/sim.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override
    {
        EXPECT_EQ(sim::OpenFinds(), openFinds) << "find handles left open";
        EXPECT_EQ(sim::LiveAllocations(), liveAllocations) << "blocks left allocated";
        EXPECT_EQ(sim::Misuses(), 0u) << "bad free, bad find handle or second close";
    }

    // What a test that makes a release fail expects to remain.
    unsigned openFinds = 0;
    unsigned liveAllocations = 0;
};
