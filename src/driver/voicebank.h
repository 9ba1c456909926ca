// -oto: the voicebank's files beside the recordings (bank/bank.h makes
// them), written once every recording of the run is on the disk.
#pragma once

#include "driver/run.h"

// Makes and writes the bank's files for the sets of which a recording was
// made now (a set of which none reached the disk keeps its files as they
// are; a recording kept from the earlier set keeps its oto.ini lines), and
// prefix.map last when every set is whole. Returns whether every file was
// written.
bool write_voicebank(morivox_run* run);
