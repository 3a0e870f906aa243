#include "base/object.h"

#include "base/platform.h"

namespace seafold {

Object::~Object()
{
    if (mRefCount != 0)
        assertFailed(__FILE__, __LINE__, "Error! Object deleted with non-zero reference count!");
    while (mFirstWeakRef) {
        WeakRefBase* ref = mFirstWeakRef;
        mFirstWeakRef = ref->mNext;
        ref->mObject = nullptr;
        ref->mPrevious = nullptr;
        ref->mNext = nullptr;
    }
}

void WeakRefBase::set(Object* object)
{
    if (object == mObject)
        return;
    if (mObject) {
        if (mPrevious)
            mPrevious->mNext = mNext;
        else
            mObject->mFirstWeakRef = mNext;
        if (mNext)
            mNext->mPrevious = mPrevious;
        mPrevious = mNext = nullptr;
    }
    mObject = object;
    if (mObject) {
        mNext = mObject->mFirstWeakRef;
        if (mNext)
            mNext->mPrevious = this;
        mObject->mFirstWeakRef = this;
    }
}

} // namespace seafold
