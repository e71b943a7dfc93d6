// Stand-in for the Veltora application in sample bundles: it only tells its version.
#include <cstdio>

int main()
{
    std::printf("Veltora %s\n", VELTORA_APP_VERSION);
    return 0;
}
