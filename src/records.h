#pragma once

#include "genlib.h"
#include "results.h"
#include "tree.h"
