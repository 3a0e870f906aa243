// A list of listeners that any number of parties join and leave on their own,
// in any order, even from inside a listener while the list is being told.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace seafold {

// Names one subscription, unique in the process (so an id handed to the
// wrong list removes nothing); 0 is never given out, so it can mean "none".
using SubscriptionId = uint64_t;

inline SubscriptionId nextSubscriptionId()
{
    static SubscriptionId last = 0;
    return ++last;
}

template <class Listener> class Subscribers {
public:
    SubscriptionId add(Listener listener)
    {
        auto entry = std::make_shared<Entry>();
        entry->id = nextSubscriptionId();
        entry->listener = std::move(listener);
        const SubscriptionId id = entry->id;
        mEntries.push_back(std::move(entry));
        return id;
    }

    // Unknown or already removed ids are ignored.
    void remove(SubscriptionId id)
    {
        for (auto it = mEntries.begin(); it != mEntries.end(); ++it) {
            if ((*it)->id == id) {
                (*it)->removed = true;
                mEntries.erase(it);
                return;
            }
        }
    }

    void clear()
    {
        for (auto& entry : mEntries)
            entry->removed = true;
        mEntries.clear();
    }

    bool empty() const { return mEntries.empty(); }

    // True when `has(listener)` holds for any listener.
    template <class Has> bool any(const Has& has) const
    {
        for (auto& entry : mEntries)
            if (has(entry->listener))
                return true;
        return false;
    }

    // Calls `visit` with every listener subscribed when the call began that is
    // still subscribed when its turn comes. Works on a copy of the list, and
    // each listener stays alive until its call returns, so that a listener may
    // unsubscribe itself or any other, or subscribe a new one (heard from the
    // next event on).
    template <class Visit> void forEach(const Visit& visit) const
    {
        if (mEntries.empty())
            return;
        const std::vector<std::shared_ptr<Entry>> snapshot = mEntries;
        for (auto& entry : snapshot)
            if (!entry->removed)
                visit(entry->listener);
    }

private:
    struct Entry {
        SubscriptionId id = 0;
        Listener listener;
        bool removed = false;
    };
    std::vector<std::shared_ptr<Entry>> mEntries;
};

} // namespace seafold
