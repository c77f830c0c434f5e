#include "ui/Application.h"

int main(int argc, char** argv)
{
    return dovo::RunDovo(argc, argv);
}
