#include "insight.h"

#include <gtest/gtest.h>
