// Helpers of the violation-file transfer shared between its start (timer tick) and its
// replies: retiring a file into "d:/delete_img".
#pragma once

class CCenterSession;

// The directory of violation files given up or found empty; a file keeps its name there.
constexpr const char* kDeleteImgDir = "d:/delete_img";

// Copies the violation file szPath to kDeleteImgDir/szName (replacing a file of that name
// there) and deletes the source only when the copy succeeded; the file never leaves the
// violation directory otherwise. Counts the move in m_nVolMovedCount. True when moved.
bool MoveVolFileAside(CCenterSession* pSession, const char* szPath, const char* szName);
