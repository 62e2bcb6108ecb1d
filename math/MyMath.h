// Numerical routines of the toolkit.
//
// CMyMath holds no data: every operation is a static member that forwards to a free function
// template instantiated per element type. Callers own every buffer passed in; temporary storage
// lives inside one call and is released before it returns.
#ifndef FIBREJOIN_MATH_MYMATH_H
#define FIBREJOIN_MATH_MYMATH_H

// ==== Eigen decomposition, linear systems and singular value decomposition: free functions ====

// ==== Smoothing, histograms, geometry and small routines: free functions ====

class CMyMath {
public:
    CMyMath() {}
    virtual ~CMyMath() {}

    // ==== Eigen decomposition, linear systems and singular value decomposition ====

    // ==== Smoothing, histograms, geometry and small routines ====
};

#endif  // FIBREJOIN_MATH_MYMATH_H
