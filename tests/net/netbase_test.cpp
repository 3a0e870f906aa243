// Reference counting, weak references and the class registry.
#include <gtest/gtest.h>

#include <cstring>

#include "net/netbase.h"

using namespace seafold;

namespace {

struct Tracked : Object {
    explicit Tracked(int* d = nullptr) : deleted(d) {}
    ~Tracked() override
    {
        if (deleted)
            ++*deleted;
    }
    int* deleted;
};

} // namespace

TEST(RefPtr, LastReferenceDeletesAndSelfAssignmentKeepsAlive)
{
    int deleted = 0;
    Tracked* object = new Tracked(&deleted);
    EXPECT_EQ(object->refCount(), 0u);
    RefPtr<Tracked> a(object);
    EXPECT_EQ(object->refCount(), 1u);
    a = a;
    a = object;
    EXPECT_EQ(object->refCount(), 1u);
    EXPECT_EQ(deleted, 0);
    {
        RefPtr<Object> b = a;
        EXPECT_EQ(object->refCount(), 2u);
        RefPtr<Object> c(std::move(b));
        EXPECT_EQ(object->refCount(), 2u);
    }
    EXPECT_EQ(object->refCount(), 1u);
    a = nullptr;
    EXPECT_EQ(deleted, 1);
}

TEST(WeakRef, ClearedWhenTheObjectGoes)
{
    WeakRef<Tracked> w1, w2, w3;
    {
        RefPtr<Tracked> strong = new Tracked;
        w1 = strong.get();
        w2 = strong.get();
        w3 = w2;
        w2 = nullptr; // unlink from the middle of the list
        EXPECT_EQ(w1.get(), strong.get());
        EXPECT_EQ(w3.get(), strong.get());
    }
    EXPECT_EQ(w1.get(), nullptr);
    EXPECT_EQ(w2.get(), nullptr);
    EXPECT_EQ(w3.get(), nullptr);
}

namespace {

// Classes of group 3 only, so the tables of group 0 keep the product's ids.
struct Alpha : Object {
    static NetClassRepInstance<Alpha> rep;
    NetClassRep* classRep() const override { return &rep; }
};
struct Beta : Object {
    static NetClassRepInstance<Beta> rep;
    NetClassRep* classRep() const override { return &rep; }
};
struct Gamma : Object {
    static NetClassRepInstance<Gamma> rep;
    NetClassRep* classRep() const override { return &rep; }
};
NetClassRepInstance<Alpha> Alpha::rep("TestZeta", 1u << 3, NetClassTypeObject, 0);
NetClassRepInstance<Beta> Beta::rep("TestAlpha", 1u << 3, NetClassTypeObject, 1);
NetClassRepInstance<Gamma> Gamma::rep("Testalpha", 1u << 3, NetClassTypeObject, 0);

struct NotAConnection : Object {
    static NetClassRepInstance<NotAConnection> rep;
};
NetClassRepInstance<NotAConnection> NotAConnection::rep("TestNotCreatable", 0, NetClassTypeNone, 0);
ConnectionClassEntry gHiddenEntry(&NotAConnection::rep, false);

} // namespace

TEST(NetClassRep, SortsByVersionThenByteWiseName)
{
    NetClassRep::initialize();
    NetClassRep::initialize(); // a second call changes nothing
    ASSERT_EQ(NetClassRep::classCount(3, NetClassTypeObject), 3u);
    // Byte-wise: upper-case letters sort before lower-case ones.
    EXPECT_EQ(Alpha::rep.classId(3), 0u); // "TestZeta", version 0
    EXPECT_EQ(Gamma::rep.classId(3), 1u); // "Testalpha", version 0
    EXPECT_EQ(Beta::rep.classId(3), 2u);  // "TestAlpha", version 1 sorts last
    EXPECT_EQ(NetClassRep::classIdBitCount(3, NetClassTypeObject), 2u);
    EXPECT_EQ(NetClassRep::classIdBitCount(3, NetClassTypeData), 0u);

    RefPtr<Object> made = NetClassRep::createByClassId(3, NetClassTypeObject, 2);
    ASSERT_TRUE(made.isValid());
    EXPECT_EQ(made->classRep(), &Beta::rep);
    EXPECT_EQ(classIdOf(*made, 3), 2u);
}

TEST(NetClassRep, ChecksumsAndConnectionLookup)
{
    EXPECT_EQ(NetClassRep::classGroupChecksum(0), 0xFFFFFFFFu);
    EXPECT_EQ(NetClassRep::classGroupChecksum(1), 0u);
    EXPECT_EQ(createConnectionByName("NoSuchConnection"), nullptr);
    EXPECT_EQ(createConnectionByName("TestNotCreatable"), nullptr);
}
