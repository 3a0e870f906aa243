// Internals shared by the event connection's files: the note that carries
// an event through the queues, the notify record of a data packet, and the
// note pool. Not part of the module's interface; callers use
// eventconnection.h.
#pragma once

#include <cstdint>

#include "base/datachunker.h"
#include "net/eventconnection.h"

namespace seafold {

// One queued, in-flight or received event.
struct EventConnection::EventNote {
    RefPtr<NetEvent> event;
    int32_t sequence = -1; // ordered events only
    uint32_t bytes = 0;    // the event's queuedSize when it was posted
    EventNote* next = nullptr;
    // Posted because of another connection's traffic (PostingFor): charged
    // to that one while it waits here. The origin may end first.
    bool fromOther = false;
    WeakRef<NetConnection> origin;
};

// The notify record of a data packet: the notes of the events written into
// it, in writing order, until the packet is known delivered or lost.
struct EventConnection::EventPacketNotify : NetConnection::PacketNotify {
    EventNote* eventList = nullptr;
    ~EventPacketNotify() override;
};

namespace eventnotes {

constexpr const char* LogChannel = "LogEventConnection";

inline FreeListAllocator<EventConnection::EventNote>& allocator()
{
    // Never destroyed: a connection held by some other static object may
    // still free its notes during static destruction.
    static auto* notes = new FreeListAllocator<EventConnection::EventNote>();
    return *notes;
}

inline EventConnection::EventNote* allocNote(NetEvent* event, int32_t sequence)
{
    EventConnection::EventNote* note = allocator().allocateElement();
    note->event = event;
    note->sequence = sequence;
    return note;
}

inline void freeNote(EventConnection::EventNote* note)
{
    allocator().freeElement(note);
}

inline void freeNoteList(EventConnection::EventNote* note)
{
    while (note) {
        EventConnection::EventNote* next = note->next;
        freeNote(note);
        note = next;
    }
}

} // namespace eventnotes
} // namespace seafold
