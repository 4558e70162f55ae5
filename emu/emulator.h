// The emulated calculator in update mode: a fixed-size disk that answers the
// sector command protocol at sector 170, keeps a journal of what the host did
// and can be told to misbehave (faults). The core knows nothing of backends:
// it sees "write(offset, bytes)", "read(offset, length)" and "flush" on a
// session, so the same code serves the in-memory test backend, the
// directory-backed backend of NORZA_EMULATOR_DIR and a FUSE server.
// Each part has its own header; this one gathers them for the programs and
// tests that use the whole emulator.
#pragma once

#include "emulator_calculator.h"
#include "emulator_faults.h"
#include "emulator_journal.h"
#include "emulator_protocol.h"
#include "emulator_storage.h"
