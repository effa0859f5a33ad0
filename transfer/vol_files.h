// Helpers of the violation-file transfer shared between its start (timer tick) and its
// replies: retiring a file into "d:/delete_img".
#pragma once

#include "platform/platform.h"

class CCenterSession;

// The directory of violation files given up or found empty; a file keeps its name there.
constexpr const char* kDeleteImgDir = "d:/delete_img";

// What became of a file the give-up rules retired.
enum class MoveResult {
    kMoved,    // copied into kDeleteImgDir and deleted from the violation directory
    kChanged,  // not the file that was read any more: left in place, to be sent again
    kFailed,   // could not be copied or deleted (on record): left in place, set aside
};

// Copies the violation file szPath to kDeleteImgDir/szName (replacing a file of that name
// there) and deletes the source only when the copy succeeded and the file is still the one
// that was read (expected); the file never leaves the violation directory otherwise.
// A failure is written to the system log and the name is set aside for the rest of the
// run. Counts a move in m_nVolMovedCount.
MoveResult MoveVolFileAside(CCenterSession* pSession, const char* szPath, const char* szName,
                            const vplat::FileIdentity& expected);
// The line on record when a violation file changed after it was read.
void LogVolFileChanged(const char* szName);
