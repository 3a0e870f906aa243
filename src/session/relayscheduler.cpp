#include "session/relayscheduler.h"
#include "session/roster.h"

#include <algorithm>

namespace seafold {

void RelayScheduler::refill(uint32_t nowMs)
{
    if (!mBudgetStarted) {
        mBudgetStarted = true;
        mBudgetTime = nowMs;
    }
    // Unsigned difference: right across the wrap of the millisecond clock.
    const double elapsedMs = double(uint32_t(nowMs - mBudgetTime));
    mBudgetTime = nowMs;
    const double share = mShare ? std::max(mShare(), 0.0) : UnlimitedShareBytesPerSecond;
    mBudget = std::min(FairRelayBurstBytes, mBudget + elapsedMs * share / 1000.0);
}

bool RelayScheduler::relay(Relay relay, uint32_t nowMs)
{
    if (relay.bytes == 0 && !holding()) {
        mPerform(relay);
        return true;
    }
    refill(nowMs);
    if (!holding() && (relay.bytes == 0 || mBudget > 0)) {
        mBudget -= double(relay.bytes);
        mPerform(relay);
        return true;
    }
    mHeldBytes += relay.bytes + sizeof(Relay);
    mHeld.push_back(std::move(relay));
    return mHeldBytes <= MaxHeldRelayBytes;
}

bool RelayScheduler::relayMovement(double dx, double dy, double dz, uint32_t nowMs)
{
    if (holding()) {
        Relay& last = mHeld.back();
        if (last.kind == Relay::Movement && isUsableMovement(last.dx + dx, last.dy + dy, last.dz + dz)) {
            last.dx += dx;
            last.dy += dy;
            last.dz += dz;
            return true;
        }
    }
    Relay movement;
    movement.kind = Relay::Movement;
    movement.dx = dx;
    movement.dy = dy;
    movement.dz = dz;
    return relay(std::move(movement), nowMs);
}

void RelayScheduler::release(uint32_t nowMs)
{
    if (!holding())
        return;
    refill(nowMs);
    while (!mHeld.empty() && (mHeld.front().bytes == 0 || mBudget > 0)) {
        Relay next = std::move(mHeld.front());
        mHeld.pop_front();
        mHeldBytes -= next.bytes + sizeof(Relay);
        mBudget -= double(next.bytes);
        mPerform(next);
    }
}

void RelayScheduler::drop()
{
    // Still owed: a sender that comes back has not paid for them.
    mBudget = std::max(mBudget - double(mHeldBytes), -double(MaxHeldRelayBytes));
    mHeld.clear();
    mHeldBytes = 0;
}

RelayScheduler::Budget RelayScheduler::budget(uint32_t nowMs)
{
    refill(nowMs);
    // A debt beyond what may be held is not kept: the sender was ended there.
    return {std::max(mBudget - double(mHeldBytes), -double(MaxHeldRelayBytes)), nowMs};
}

void RelayScheduler::resume(const Budget& budget)
{
    mBudget = std::min(budget.bytes, FairRelayBurstBytes);
    mBudgetTime = budget.timeMs;
    mBudgetStarted = true;
}

void RelayShareMemory::forgetOld(uint32_t nowMs)
{
    mEntries.erase(std::remove_if(mEntries.begin(), mEntries.end(),
                                  [&](const Entry& entry) { return nowMs - entry.endedMs >= KeepMs; }),
                   mEntries.end());
}

void RelayShareMemory::remember(const NetAddress& host, const RelayScheduler::Budget& budget, uint32_t nowMs)
{
    forgetOld(nowMs);
    mEntries.push_back({host, budget, nowMs});
}

bool RelayShareMemory::recall(const NetAddress& host, uint32_t nowMs, RelayScheduler::Budget* budget)
{
    forgetOld(nowMs);
    auto lowest = mEntries.end();
    for (auto at = mEntries.begin(); at != mEntries.end(); ++at)
        if (at->host.isSameHost(host) && (lowest == mEntries.end() || at->budget.bytes < lowest->budget.bytes))
            lowest = at;
    if (lowest == mEntries.end())
        return false;
    *budget = lowest->budget;
    mEntries.erase(lowest);
    return true;
}

} // namespace seafold
