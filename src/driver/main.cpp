#include "driver/driver.h"

int main(int argc, char** argv)
{
    return run_morivox(argc, argv, synth_voices);
}
