#include "clusters.h"

#include <gtest/gtest.h>
