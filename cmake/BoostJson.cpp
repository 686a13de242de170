// Boost.JSON's own one-file build, for the targets with no compiled Boost
// library to link (the Windows cross build).
#include <boost/json/src.hpp>
