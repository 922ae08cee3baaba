// Precompiled for the test programs.
#include <gtest/gtest.h>
