// The two kernel instantiations used by the FIR model, compiled once here.
#include "fir_filter.h"

template class FirFilter<double, double>;
template class FirFilter<mpz_class, double>;
