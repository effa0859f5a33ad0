// SplitFields: cuts a text at '.' into bounded output buffers, the way file names of the
// violation directory are taken apart (key, extension). A free function for any caller.
#pragma once

#include <cstddef>

// Cuts szText at '.' in the manner of strtok (a run of dots counts as one separator,
// leading dots are skipped) and copies the pieces, in order, into the output buffers.
// The outputs follow szText as pairs (char* szOut, size_t nOutSize) and the list ends with
// a null pointer in place of a buffer: SplitFields(sz, szKey, sizeof szKey, szExt,
// sizeof szExt, nullptr). Each size MUST be passed as a size_t (sizeof, or a size_t
// variable). A piece longer than its buffer is cut to nOutSize - 1 characters; every
// buffer that receives a piece is NUL-terminated; a buffer of size 0 is skipped without
// being written. Buffers beyond the last piece are left untouched, pieces beyond the last
// buffer are dropped. Only the first 1023 characters of szText are looked at. Returns the
// number of pieces copied. A null szText yields no piece.
int SplitFields(const char* szText, ...);
