// TOpenedInput: a source opened and its streams probed ahead of the job that
// reads it (by the media probe, or by the check when a task was queued),
// handed to that job so that it does not open and probe the same file again.
//
// Ownership: the context belongs to the holder; handing it on moves it. Its
// byte stream keeps calling the guard it was opened with (the library copies
// the interrupt callback into it), so the guard travels with the context and
// outlives it; whoever takes the context sets the guard's abort flags to its
// own.
//
// Safety: the receiver takes the context only for the same name, opened the
// plain way (no forced format, demuxer or decoder options), while the file
// is unchanged (Identity against a fresh stat); otherwise it closes it and
// opens the file again. Holders keep only a few (a file about to run).
#pragma once
#include <memory>
#include <string>
#include <utility>

#include "Deleters.h"
#include "InputGuard.h"
#include "LegacyText.h"
#include "SourceFile.h"

struct TOpenedInput {
  std::string Name;                    // the name it was opened by
  std::unique_ptr<TInputGuard> Guard;  // the guard Context was opened with
  InputFormatPtr Context;              // opened, streams probed, tags repaired
  TFileIdentity Identity;              // the file as it was when opened
  bool Plain = false;                  // opened without forced format or options
  TTagEncoding TagEncoding = teAuto;   // how its tags were repaired
  std::string TagsReadAs;              // what the repair answered ("" nothing repaired)

  TOpenedInput() = default;
  TOpenedInput(TOpenedInput&&) = default;
  // The context closes before the guard it may call goes.
  TOpenedInput& operator=(TOpenedInput&& other) noexcept {
    if (this == &other) return *this;
    Context.reset();
    Guard = std::move(other.Guard);
    Context = std::move(other.Context);
    Name = std::move(other.Name);
    Identity = other.Identity;
    Plain = other.Plain;
    TagEncoding = other.TagEncoding;
    TagsReadAs = std::move(other.TagsReadAs);
    return *this;
  }
  explicit operator bool() const { return Context != nullptr; }
};
