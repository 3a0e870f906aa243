// Objects with intrusive reference counts, and counted and weak references
// to them. Used by every module; the network's class registry (net/netbase.h)
// gives some of these objects a record that lets a peer create them by id.
#pragma once

#include <cstdint>

namespace seafold {

class NetClassRep;
class WeakRefBase;

// Base of every counted object. Objects created on the stack or owned
// directly keep a count of 0 and are never deleted through it.
class Object {
public:
    Object() = default;
    Object(const Object&) : Object() {} // a copy is a new object: no refs, no weak refs
    Object& operator=(const Object&) { return *this; }
    virtual ~Object();

    // The registry record of the object's class, or none for classes that
    // cannot be created from the network.
    virtual NetClassRep* classRep() const { return nullptr; }
    // Destroys and frees the object.
    virtual void deleteSelf() { delete this; }
    // True for connection classes (see createConnectionByName).
    virtual bool isNetConnection() const { return false; }

    void incRef() { ++mRefCount; }
    void decRef()
    {
        if (--mRefCount == 0)
            deleteSelf();
    }
    uint32_t refCount() const { return mRefCount; }

private:
    friend class WeakRefBase;
    WeakRefBase* mFirstWeakRef = nullptr;
    uint32_t mRefCount = 0;
};

// A counted reference: holding a pointer is one unit of the object's count.
template <class T> class RefPtr {
public:
    RefPtr() = default;
    RefPtr(T* object) : mObject(object)
    {
        if (mObject)
            mObject->incRef();
    }
    RefPtr(const RefPtr& other) : RefPtr(other.mObject) {}
    template <class U> RefPtr(const RefPtr<U>& other) : RefPtr(other.get()) {}
    RefPtr(RefPtr&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
    ~RefPtr()
    {
        if (mObject)
            mObject->decRef();
    }

    RefPtr& operator=(T* object)
    {
        // Increment first, so assigning an object to itself keeps it alive.
        if (object)
            object->incRef();
        T* old = mObject;
        mObject = object;
        if (old)
            old->decRef();
        return *this;
    }
    RefPtr& operator=(const RefPtr& other) { return *this = other.mObject; }
    RefPtr& operator=(RefPtr&& other) noexcept
    {
        if (this != &other) {
            T* old = mObject;
            mObject = other.mObject;
            other.mObject = nullptr;
            if (old)
                old->decRef();
        }
        return *this;
    }

    T* get() const { return mObject; }
    T* operator->() const { return mObject; }
    T& operator*() const { return *mObject; }
    operator T*() const { return mObject; }
    bool isNull() const { return mObject == nullptr; }
    bool isValid() const { return mObject != nullptr; }

private:
    T* mObject = nullptr;
};

// A reference that the object clears when it is destroyed.
class WeakRefBase {
public:
    WeakRefBase() = default;
    explicit WeakRefBase(Object* object) { set(object); }
    WeakRefBase(const WeakRefBase& other) { set(other.mObject); }
    WeakRefBase& operator=(const WeakRefBase& other)
    {
        set(other.mObject);
        return *this;
    }
    ~WeakRefBase() { set(nullptr); }

    void set(Object* object);
    Object* object() const { return mObject; }

private:
    friend class Object;
    Object* mObject = nullptr;
    WeakRefBase* mPrevious = nullptr;
    WeakRefBase* mNext = nullptr;
};

template <class T> class WeakRef : public WeakRefBase {
public:
    WeakRef() = default;
    WeakRef(T* object) : WeakRefBase(object) {}
    WeakRef& operator=(T* object)
    {
        set(object);
        return *this;
    }
    T* get() const { return static_cast<T*>(object()); }
    T* operator->() const { return get(); }
    operator T*() const { return get(); }
};

} // namespace seafold
