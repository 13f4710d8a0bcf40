#pragma once

// What the summaries and writers share: the tree, the results, and the failures and text
// helpers they report with.

#include "genlib.h"
#include "results.h"
#include "tree.h"
