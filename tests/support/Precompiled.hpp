// Headers shared by most tests, compiled once per build as a precompiled header.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/Precompiled.hpp"
