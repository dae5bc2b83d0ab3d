// Shared GoogleTest helpers for the core's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "panic.hpp"

// Expects stmt to throw veltrane::Panic whose what() is exactly text.
#define EXPECT_PANIC(stmt, text)                                                   \
    EXPECT_THROW(                                                                  \
        {                                                                          \
            try {                                                                  \
                stmt;                                                              \
            } catch (const ::veltrane::Panic& veltrane_panic_) {                   \
                EXPECT_EQ(std::string(veltrane_panic_.what()), std::string(text)); \
                throw;                                                             \
            }                                                                      \
        },                                                                         \
        ::veltrane::Panic)
