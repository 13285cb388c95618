// The open-file dialog's filter: the extensions the bound media libraries
// can read, asked from the libraries' own tables of containers.
//
// Threads: GUI thread; the libraries must be loaded (the add command loads
// them first). Nothing here throws except on allocation failure.
#pragma once
#include <QString>
#include <QStringList>

// The file-name extensions of the containers the libraries read, lower case,
// sorted, each once, without the dot. A container's extensions are those its
// reader lists, and those its writer lists when the libraries read what they
// write (the writer is named after a reader, or after the family its reader
// reads: "Ogg Opus"). Readers of pictures, text, subtitles and lyrics are
// left out: they hold nothing to convert into sound. Empty while the
// libraries are not loaded.
QStringList ReadableExtensions();

// The dialog's filter: "所有支持的格式 (*.aac *.ac3 ...)" with the
// extensions above, the three entries the window always offered
// ("Media Player Files(*.wma)", "RM(*.rm)", "Ogg Vorbis Files(*.ogg)"),
// then "所有文件 (*)"; entries separated by ";;".
QString OpenFileFilter();
