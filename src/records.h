#pragma once

// What the summaries and writers share: the tree, the results, and the failures and text
// helpers they report with.

#include "failure.h"
#include "linereader.h"
#include "results.h"
#include "text.h"
#include "tree.h"
