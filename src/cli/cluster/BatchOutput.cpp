#include "cli/cluster/BatchOutput.h"

#include <algorithm>
#include <chrono>

#include "cli/JsonProgress.h"
#include "cli/ProbeCommand.h"

namespace vexav::cli::cluster {

using batch::DisplayName;
using batch::ProgressInfo;
using batch::cluster::Manifest;
using batch::cluster::UnfinishedFile;

namespace {

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

struct BatchOutput::File {
  std::string Name;  // the source's file name, in every line of it
  std::unique_ptr<ProgressDisplay> Display;
  std::optional<ProgressInfo> Last;
  std::optional<int64_t> StartedMs;
  std::optional<int64_t> TookMs;
  std::string Reason;         // the queue's reason shown last
  bool ReasonOnLine = false;  // a terminal's line shows it, not yet redrawn
};

BatchOutput::BatchOutput(const ConvertEnvironment& Env, const Manifest& M, bool Follow)
    : Env(Env), M(M), Follow(Follow), Files(M.Files.size()) {
  // One line redrawn in place, as the local mode draws it for one file.
  const bool Terminal = Env.Terminal && M.Files.size() == 1 && Follow && !Env.Json;
  for (std::size_t I = 0; I < Files.size(); ++I) {
    Files[I].Name = DisplayName(M.Files[I].Source);
    Files[I].Display =
        std::make_unique<ProgressDisplay>(Env.Err, Terminal, Files[I].Name, Env.Columns);
  }
}

BatchOutput::~BatchOutput() = default;

void BatchOutput::Started(std::size_t I, int64_t StartedMs) {
  File& F = Files[I];
  const int64_t When = StartedMs > 0 ? StartedMs : NowMs();
  if (!F.StartedMs || When < *F.StartedMs) F.StartedMs = When;
}

void BatchOutput::Took(std::size_t I, int64_t Ms) {
  if (Ms >= 0) Files[I].TookMs = Ms;
}

void BatchOutput::Progress(std::size_t I, const ProgressInfo& Info) {
  File& F = Files[I];
  F.Last = Info;
  F.Reason.clear();  // running: a later wait (submitted again) is told anew
  if (!F.StartedMs) Started(I, 0);
  if (!Follow) return;
  if (Env.Json) return Json(I, "converting", M.Files[I].Plan.Final, std::string());
  // A terminal's line is redrawn whole: the reason it showed goes.
  F.ReasonOnLine = false;
  F.Display->Update(Info);
}

void BatchOutput::Pending(std::size_t I, const std::string& Reason, bool Routine) {
  File& F = Files[I];
  if (Reason == F.Reason || !Follow) return;
  F.Reason = Reason;
  if (Reason.empty()) return;
  const std::string Text = F.Name + ": pending (" + Reason + ")";
  if (Env.Terminal && Files.size() == 1 && !Env.Json && !F.Last) {
    // On the line the bar will take: back to its start, the rest cleared,
    // and no wider than the terminal, so that it can be redrawn.
    std::string Shown = Text;
    const std::size_t Room = static_cast<std::size_t>(std::max(Env.Columns - 1, 20));
    if (Shown.size() > Room) {
      std::size_t Keep = Room - 3;
      while (Keep > 0 && (static_cast<unsigned char>(Shown[Keep]) & 0xC0) == 0x80) --Keep;
      Shown = Shown.substr(0, Keep) + "...";
    }
    std::fputs(("\r" + Shown + "\033[K").c_str(), Env.Err);
    std::fflush(Env.Err);
    F.ReasonOnLine = true;
    return;
  }
  if (!Routine) PrintLine(Env.Err, Text);
}

void BatchOutput::EndLine(File& F, bool Succeeded) {
  if (F.ReasonOnLine) {
    std::fputs("\n", Env.Err);
    F.ReasonOnLine = false;
  }
  if (Follow && !Env.Json) F.Display->Finish(Succeeded);
}

void BatchOutput::Json(std::size_t I, const char* Status, const std::string& Output,
                       const std::string& Error) {
  if (!Env.Json) return;
  const File& F = Files[I];
  JsonRecord Record;
  Record.File = M.Files[I].Given.empty() ? M.Files[I].Source : M.Files[I].Given;
  Record.Status = Status;
  Record.Progress = F.Last;
  if (F.TookMs)
    Record.ElapsedSeconds = *F.TookMs / 1000.0;
  else if (F.StartedMs)
    Record.ElapsedSeconds = std::max<int64_t>(NowMs() - *F.StartedMs, 0) / 1000.0;
  Record.Output = Output;
  Record.Error = Error;
  Env.Json->Write(Record);
}

void BatchOutput::Done(std::size_t I, const std::string& Output) {
  EndLine(Files[I], true);
  if (Env.Json) return Json(I, "done", Output, std::string());
  PrintLine(Env.Out, Output);
}

void BatchOutput::Failed(std::size_t I, const std::string& Reason) {
  EndLine(Files[I], false);
  PrintLine(Env.Err, FileMessage(Files[I].Name, Reason));
  Json(I, "failed", std::string(), OneLine(Reason));
}

void BatchOutput::Stopped(std::size_t I, const std::string& Text, const std::string& Kept,
                          const std::string& Error) {
  EndLine(Files[I], false);
  PrintLine(Env.Err, FileMessage(Files[I].Name, Text));
  // Like a finished output, the part kept is named on standard output.
  if (!Kept.empty() && !Env.Json) PrintLine(Env.Out, Kept);
  Json(I, "stopped", Kept, OneLine(Error));
}

void BatchOutput::NotConverted(std::size_t I) {
  EndLine(Files[I], false);
  Json(I, "canceled", std::string(), std::string());
}

void BatchOutput::Note(std::size_t I, const std::string& Subject, const std::string& Text,
                       bool EndsFile) {
  File& F = Files[I];
  if (EndsFile) {
    EndLine(F, false);
  } else if (F.ReasonOnLine) {
    std::fputs("\n", Env.Err);
    F.ReasonOnLine = false;
  }
  PrintLine(Env.Err, FileMessage(Subject, Text));
}

void BatchOutput::Problem(const std::string& Text) {
  PrintLine(Env.Err, "vexav-convert: " + Text);
}

void BatchOutput::Unfinished(std::size_t I, const UnfinishedFile& State) {
  const std::string& Name = Files[I].Name;
  if (State.State == UnfinishedFile::Kind::Joining) {
    PrintLine(Env.Err, Name + ": every segment has ended; joined once the batch has ended");
    return;
  }
  std::string Jobs = State.FirstTask;
  if (State.MoreTasks > 0) Jobs += " and " + std::to_string(State.MoreTasks) + " more";
  if (State.State == UnfinishedFile::Kind::Pending) {
    PrintLine(Env.Err, Name + ": pending (" + Jobs +
                           (State.Waiting.empty() ? "" : "; " + State.Waiting) + ")");
    return;
  }
  std::string Text = Name;
  Text += ": running";
  if (State.Percent >= 0) Text += " " + std::to_string(State.Percent) + "%";
  Text += " (" + Jobs + ")";
  PrintLine(Env.Err, Text);
  // With --json, a "converting" object for the file, which runs.
  Json(I, "converting", M.Files[I].Plan.Final, std::string());
}

}  // namespace vexav::cli::cluster
