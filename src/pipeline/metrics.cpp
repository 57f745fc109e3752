#include "pipeline/metrics.h"
