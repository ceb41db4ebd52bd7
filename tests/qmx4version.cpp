// Prints the device library's version text: used to check which library
// the loader picked.
#include "qmx4api.h"

#include <cstdio>

int main()
{
    std::puts(qmx4api::getQmxVersion().c_str());
    return 0;
}
