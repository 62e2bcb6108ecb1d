#ifndef FIBREJOIN_UTILS_MYUTILS_H
#define FIBREJOIN_UTILS_MYUTILS_H

class CMyUtils {
public:
    CMyUtils() {}
    virtual ~CMyUtils() {}
};

#endif  // FIBREJOIN_UTILS_MYUTILS_H
