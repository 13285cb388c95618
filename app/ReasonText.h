// The window's words for why a file ended as it did: one text per reason
// code (Reason.h) in the window's language, Chinese the source, and a damaged
// source's loss told from the batch's figures (TSourceDamage). The engine's
// English reason stays in the window's log and in quellon-cli; the window
// shows these wherever it tells a reason (row tooltips, message boxes, lists
// of failed or skipped files).
//
// Threads: GUI thread (the texts go through the installed translators).
#pragma once
#include <QString>

#include "Batch.h"
#include "Reason.h"

// The code's text; every code has one.
QString ReasonCodeText(TReasonCode code);
// Whether the engine's English reason names something the code's text does
// not (a cue sheet's line, an option, the libraries' words): then it follows
// on a line of its own.
bool ReasonDetailAdds(TReasonCode code);
// What a damaged source lost ("跳过 3 个损坏的数据包"; several parts joined);
// "" when the figures tell nothing.
QString DamageText(const TSourceDamage& damage);
// Why a file ended as it did: the damage of a partial file, else the code's
// text, and the English reason on a second line where it adds something.
// "" for a file that converted whole, or has not ended.
QString FileReasonText(const TBatchFile& file);
