#include "graph_export.h"

#include <gtest/gtest.h>
