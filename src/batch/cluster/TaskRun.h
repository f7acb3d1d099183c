// What one task of a batch runs on its node (vexav-convert --cluster-task
// JOBFOLDER): the file (or the piece) of its index in the batch, as the
// scheduler named in the job folder tells it, converted in the default mode
// under a name of this submission's own beside the output reserved for it,
// which takes the output's place at its end; its progress and its result go
// into its report file in the job folder.
#pragma once

#include <cstdio>
#include <string>

#include "batch/ConversionJob.h"
#include "component/VexAVConverter.h"

namespace vexav::batch::cluster {

struct TaskRunRequest {
  std::string JobFolder;
  TLogLevel LogLevel = TLogLevel::llQuiet;  // of the conversion's log lines
  std::string LibFolder;                    // where the media libraries were bound from
  JobFactory MakeJob;                       // a piece's run is a job of this factory
  bool Verbose = false;
  // Where the task's own lines go (the conversion's log, why a file
  // failed): the scheduler keeps them in the task's log.
  std::FILE* Log = stderr;
  std::string ProgramName = "vexav-convert";  // as log lines name it
};

struct TaskRunEnd {
  enum class Kind {
    Reported,    // the result is in the report file, whatever it was
    GivenUp,     // the front end had given this submission up: nothing was done
    NotInATask,  // not run inside a task of a batch
    Failed,      // the task could not run, or its result could not be written
  } How = Kind::Reported;
  std::string Message;  // what to tell ("" when nothing)
};

// SIGTERM (the scheduler's cancel, time limit or preemption) asks the
// conversion to stop, so that the output still gets its trailer and what
// was converted is kept as a part.
TaskRunEnd RunTask(const TaskRunRequest& Request);

}  // namespace vexav::batch::cluster
