// The process entry. Command-line arguments are ignored; the exit code is always 0.
#include "cleaning/cleaning_run.h"
#include "frame/start.h"

int main() {
  prepareProcess();
  startFrame();
  runCleaning();
  endProcess(0);
}
