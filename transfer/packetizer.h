// The file packets shared by the three transfers (violation file, trigger image, running
// log): cutting a file that was read into memory into an info packet and 3,000-byte data
// packets held as ready frames in the kind's packet table, sending a prepared packet, and
// reading the Manager PC's reply. Callers hold the session's m_csSession around each call.
#pragma once

#include <atomic>
#include <cstdint>

class CCenterSession;

// How one kind of transfer uses the common packetising.
struct FilePacketPlan {
    int nKind;                    // m_nSendKind once the info packet is out
    int nOpcode;                  // opcode of every packet (51, 52-54, 68)
    std::atomic<int>* pTotal;     // the kind's total field
    std::atomic<int>* pInFlight;  // the kind's packet awaiting a reply
    uint8_t* pSlots;              // the kind's packet table (3,030-byte slots)
    int nMaxSlots;                // its slot count
    // Tells the total (the kind's own report text); may be null.
    void (*pfnReport)(CCenterSession* pSession, int nTotal, int nSize);
    // Tells the size error (the kind's own text); may be null.
    void (*pfnSizeError)(int nTotal, int nSize);
};

// Packets (the info packet included) of a file of nSize bytes.
int FilePacketCount(int nSize);

// Cuts nSize bytes of pData (the file named szName) into the plan's packet table and
// queues the info packet on link nConn. Stores and reports the total first; when the total
// does not fit the table, reports the size error and returns 0 without touching the table
// or m_nSendKind. Otherwise sets m_nSendKind to the plan's kind, shows the send box and
// returns 1 (also when the link refused the frame: the transfer waits for the busy rule).
int SendFilePackets(CCenterSession* pSession, const FilePacketPlan& plan, const uint8_t* pData,
                    int nSize, const char* szName, int nConn);

// Hands prepared slot k of a packet table (nMaxSlots slots) to QueueFrame on link nConn
// and records k as the packet in flight. Returns QueueFrame's result; 0 for a slot
// outside the table.
int SendPacketSlot(CCenterSession* pSession, const uint8_t* pSlots, int nMaxSlots, int k, int nConn,
                   std::atomic<int>* pInFlight);

// The packet number of a reply (4 characters at offset 20, read as atoi reads them) and
// its status byte (the raw byte at offset 30). The frame is a receive-frame buffer of at
// least 31 bytes.
int ReplyPacketNumber(const uint8_t* pFrame);
uint8_t ReplyStatus(const uint8_t* pFrame);

// True when link entry nConn (one of the reserved entries) is connected.
bool LinkIsConnected(CCenterSession* pSession, int nConn);
