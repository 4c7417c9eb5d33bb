#include "app/velmmain.h"

int main(int argc, char** argv)
{
    return velmMain(argc, argv);
}
