#include "verify/sigverify.h"

#include <cstdio>
#include <string>

#include "platform/certificate.h"
#include "platform/console.h"
#include "platform/utf8.h"
#include "sha1/sha1.h"
#include "trust/trust_functions.h"
#include "trust/trust_platform.h"
#include "verify/file_verdict.h"
#include "verify/options.h"
#include "verify/ordered_runner.h"
#include "verify/progress_line.h"
#include "verify/status_text.h"
#include "verify/target_list.h"
#include "verify/verdict_output.h"

namespace {

constexpr int kAllTrusted = 0;
constexpr int kSomeNotTrusted = 1;
constexpr int kTrouble = 2;
// More files than this and a terminal: the progress line is shown.
constexpr size_t kProgressThreshold = 20;

int Fail(const std::string& message, bool suggestHelp) {
  std::string text = "sigverify: " + message + "\n";
  if (suggestHelp) text += "Try 'sigverify --help' for more information.\n";
  platform::WriteToStandardError(text);
  return kTrouble;
}

struct Tally {
  size_t trusted = 0, notTrusted = 0, unreadable = 0;
};

}  // namespace

int RunSigverify(const std::vector<WideString>& arguments) {
  Options options;
  std::string error;
  if (!ParseOptions(arguments, &options, &error)) return Fail(error, true);
  if (options.help) return platform::WriteToStandardOutput(HelpText()) ? kAllTrusted : kTrouble;
  if (options.version) return platform::WriteToStandardOutput(VersionText()) ? kAllTrusted : kTrouble;
  // Before any verification starts, and so before any thread does.
  if (!options.roots.empty() &&
      !platform::AddTrustedRootsForThisRun(platform::EncodeUtf8(options.roots.data(), options.roots.size()), &error)) {
    return Fail(error, false);
  }

  RealTrustPlatform trustPlatform;
  const platform::ModuleHandle module = trustPlatform.LoadTrustLibrary();
  if (module == nullptr) return Fail("cannot load the trust library", false);
  const TrustFunctions functions = ResolveTrustFunctions(trustPlatform, module);
  if (functions.winVerifyTrustEx == nullptr || functions.wtHelperProvDataFromStateData == nullptr ||
      functions.wtHelperGetProvSignerFromChain == nullptr || functions.wtHelperGetProvCertFromChain == nullptr) {
    trustPlatform.ReleaseLibrary(module);
    return Fail("the trust library lacks a function this command needs", false);
  }

  const std::vector<Target> targets = ListTargets(options.paths, options.recursive);
  const unsigned jobs = options.jobs != 0 ? options.jobs : platform::ProcessorCount();
  ProgressLine progress(platform::StandardErrorIsTerminal() && targets.size() > kProgressThreshold, targets.size());
  Tally tally;
  bool outputLost = false;

  auto verify = [&](size_t index) {
    const Target& target = targets[index];
    if (!target.error.empty()) return UnreadableFile(target.path, target.status, target.error);
    if (!options.catalog.empty()) return VerifyCatalogMember(trustPlatform, functions, options.catalog, target.path);
    return VerifyOneFile(trustPlatform, functions, target.path);
  };
  auto deliver = [&](size_t index, FileVerdict&& verdict) {
    if (verdict.trusted()) {
      ++tally.trusted;
    } else if (!verdict.error.empty()) {
      ++tally.unreadable;
    } else {
      ++tally.notTrusted;
    }
    if (!options.quiet || !verdict.trusted()) {
      progress.Erase();
      const std::string line = options.json ? FormatJsonLine(verdict) : FormatTextLine(verdict);
      // A reader that has gone away ends the run: nobody reads the rest.
      if (!platform::WriteToStandardOutput(line)) {
        outputLost = true;
        return false;
      }
    }
    progress.Update(index + 1);
    return true;
  };
  // The SHA-1 engine picks its block function on first use and keeps the
  // processor's features in a plain global: that first use happens here,
  // before any worker starts, so the workers only ever read it.
  Sha1Hasher warmUp = {};
  warmUp.Init();
  RunInOrder(targets.size(), jobs, verify, deliver);
  progress.Erase();
  trustPlatform.ReleaseLibrary(module);

  char summary[128];
  std::snprintf(summary, sizeof summary, "%zu trusted, %zu not trusted, %zu unreadable\n", tally.trusted,
                tally.notTrusted, tally.unreadable);
  platform::WriteToStandardError(summary);
  if (outputLost || tally.unreadable != 0) return kTrouble;
  return tally.notTrusted != 0 ? kSomeNotTrusted : kAllTrusted;
}
