// The send pass's side of a link's send queue: the link thread copies the oldest frame
// out under the queue mutex, sends it without the mutex, and then removes it only if it
// is still the oldest with the same sequence number. A frame appended meanwhile is thus
// neither lost nor sent twice, and a frame dropped by an overflow is not removed twice.
#pragma once

#include <cstdint>

#include "link/tcp_client_comm.h"

// Copies the oldest queued frame into pBuf (nBufSize bytes). False when the queue is empty
// or has no storage; *pnLength and *pnSeq describe the frame otherwise.
bool PeekOldestFrame(LinkEntry& link, uint8_t* pBuf, int nBufSize, int* pnLength, uint64_t* pnSeq);
// Removes the oldest frame if it is still the one with sequence number nSeq.
void RemoveSentFrame(LinkEntry& link, uint64_t nSeq);
// True when frames wait in the queue.
bool HasQueuedFrames(LinkEntry& link);
// Drops every queued frame.
void ClearSendQueue(LinkEntry& link);
