// The files of a quellon-cli run: the FILE arguments as given, and with -r
// the files under each FOLDER argument (ListSourceTree), in argument order.
#pragma once
#include <string>
#include <vector>

#include "CliOptions.h"
#include "ProgressView.h"

// One job per file (without -r a folder is a job too, which fails). False
// with a one-line reason when a folder given with -r cannot be read.
bool ListSources(const TCliOptions& options, std::vector<TFileJob>& jobs, std::string& error);

// The path names a folder (links followed).
bool IsFolder(const std::string& path);

// Whether the output format holds sound only (so a file under a folder
// needs sound to be converted; see WantedFromFolder).
bool AudioOutputFormat(const std::string& format);
