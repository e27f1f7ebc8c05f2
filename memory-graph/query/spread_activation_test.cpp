#include "spread_activation.h"

#include <gtest/gtest.h>
