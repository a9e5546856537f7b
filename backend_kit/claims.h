// Claims that let several back-end instances share one spool, each on its
// own machine and mount: before an instance answers a request or takes
// posted data it creates a claim file in the install root's `claims`
// folder, by exclusive creation, which the file system grants to one
// client only. The module never looks in that folder.
//
// A claim is named after the work and the identity (inode) of the file that
// asked for it, "req-<ticket>-<inode>" or "post-<number>-<inode>", so a
// number the module reuses later is a new claim. States of a claim:
// absent (free), present (held by its creator). An instance that dies
// holding one leaves it; another takes it over once it is older than the
// timeout. Claims whose file is gone are removed once older than the
// timeout too, long after every client's cache has let go of that file.
#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <utility>

namespace backend_kit {

class Claims {
 public:
  enum class Result { kOurs, kHeldElsewhere };

  // `holder` is written into each claim for a person looking at the folder
  // (empty: the host name and process id).
  Claims(std::string folder, std::chrono::seconds timeout, std::string holder = {});

  // Creates the folder when it is missing. False, with the reason, when it
  // cannot be made.
  bool Prepare(std::string& error) const;

  // Claims `name`. kOurs when this call created the claim, or took over one
  // older than the timeout; kHeldElsewhere when another instance holds it.
  // A claim this instance made before stays its own (work tried again). A
  // claim that cannot be created for another reason (the folder gone) is
  // reported as ours: one instance still does its work.
  Result Claim(const std::string& name);

  // Gives up a claim this instance made: another instance may take the
  // work.
  void Release(const std::string& name);

  // Removes the claims older than the timeout that `wanted` says no file
  // needs any more.
  void Sweep(const std::function<bool(const std::string&)>& wanted);

  const std::string& folder() const { return folder_; }

 private:
  // Seconds since the claim was made; -1 when it is not there.
  long long AgeSeconds(const std::string& path) const;

  std::string folder_;
  std::chrono::seconds timeout_;
  std::string holder_;
  std::set<std::string> own_;  // claims this instance made and has not swept
};

}  // namespace backend_kit
