// The entry of burrowlens-scan's report module, which the launcher loads
// once it has begun the walk (launcher.cpp): the module holds Qt.
#pragma once

namespace bl {
class StartedScan;
}

// walk: the walk the launcher began, taken over; null when it began none.
// Returns the program's exit status.
extern "C" int burrowlens_scan_run(int argc, char **argv, bl::StartedScan *walk);
