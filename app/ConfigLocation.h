// Where the window keeps its settings file "Config.ini": beside the program
// while its folder takes writes (a copied or unpacked program keeps its
// settings with it), else in the user's configuration folder
// (QStandardPaths::AppConfigLocation), which an installed program in a
// system folder needs. Once a settings file is in the user's folder it is
// the one read and written, before one beside the program.
//
// Threads: any; ConfigFileFor reads the file system (and may create the
// user's folder and copy a file into it).
#pragma once
#include <QString>

enum TConfigPlace : int {
  cpBesideProgram = 0,
  cpUserFolder = 1
};

// The decision alone: the user's folder when a settings file is there
// already, or when the program's folder takes no writes.
TConfigPlace ChooseConfigPlace(bool userFileExists, bool programPlaceWritable);

// The settings file for a program in programDir and the user's
// configuration folder userDir. Beside the program, the place takes writes
// when the file there does (or, without one, the folder does). A first
// settings file in the user's folder starts as a copy of the one beside the
// program, so settings shipped with it are kept.
QString ConfigFileFor(const QString& programDir, const QString& userDir);
