#include "math/MyMath.h"

// ==== Eigen decomposition, linear systems and singular value decomposition ====

// ==== Smoothing, histograms, geometry and small routines ====
