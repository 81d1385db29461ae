// Boost.URL is used header-only: its compiled part lives in this one translation unit.
#include <boost/url/src.hpp>
