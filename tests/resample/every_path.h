// Runs a test once per instruction-set path of the resampling loops.
#pragma once

#include "isa/isa.h"

#include <gtest/gtest.h>

class EveryPath : public ::testing::TestWithParam<isa_level> {
protected:
    void SetUp() override
    {
        if (isa_limit(GetParam()) != GetParam())
            GTEST_SKIP() << "this processor lacks the instructions of level " << GetParam();
    }
    void TearDown() override { isa_limit(isa_avx512); }
};
