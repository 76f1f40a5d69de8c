// The process entry. Without arguments: the cleaning run, ending with exit code 0 whatever it
// met; "--dry-run" the same run as a preview that changes nothing. Help and the version change
// nothing; any other argument is refused with exit code 2.
#include "cleaning/cleaning_run.h"
#include "frame/command_options.h"
#include "frame/start.h"

int main(int argc, char** argv) {
  const int argumentCount = argc > 0 ? argc - 1 : 0;
  const char* const* arguments = argc > 0 ? argv + 1 : argv;
  const CommandRequest request = requestOf(argumentCount, arguments);
  if (request != CommandRequest::Clean && request != CommandRequest::Preview) {
    return answerRequest(request, argumentCount, arguments);
  }
  prepareProcess();
  startFrame();
  endProcess(runCleaning(request == CommandRequest::Preview ? RunMode::Preview : RunMode::Clean));
}
