// The roster of users and the scene operations on their models.
//
// The server's roster holds every joined client with its connection; a
// client's roster holds the other users it was introduced to. The scene
// operations find a user by name and keep the user's model name and
// accumulated movement; what the model looks like is the business of a
// ClientScene (the renderer's, or the display-less one).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "net/netbase.h"
#include "session/motionplayout.h"

namespace seafold {

class SimpleEventConnection;

// The longest text a call carries (bytes): a name must fit whole, suffix
// and all, or two users would arrive under one name.
constexpr size_t MaxNameBytes = 255;

// True when a movement can be applied: every component stays finite once
// narrowed to the scene's F32.
bool isUsableMovement(double dx, double dy, double dz);

// Marks of a user that every client is told (s2cUserMarks), as bits.
enum UserMarks : uint32_t {
    UserMarkHost = 1u << 0, // the user of the process that runs the server
    // What the user chose for themselves and told the server (c2sOwnMarks):
    // nothing they say goes out (muted), and they hear nobody (deafened,
    // which always comes with muted).
    UserMarkMuted = 1u << 1,
    UserMarkDeafened = 1u << 2,
    UserMarksOwn = UserMarkMuted | UserMarkDeafened,
};

struct ClientRecord {
    std::string name;
    // Server side: the connection to that client (the interface owns it; the
    // leave sequence removes the record before the connection goes, and the
    // reference clears itself should the connection go first). Null in a
    // client's roster.
    WeakRef<SimpleEventConnection> connection;
    // Unique for the life of the process: keys what is kept per user
    // elsewhere (a name can be reused, an address too).
    uint64_t id = 0;
    std::string entityName;                       // the chosen model; empty until one is chosen
    bool hasEntity = false;                       // a model is attached
    bool hasNode = false;                         // the node that carries the model exists
    double offsetX = 0, offsetY = 0, offsetZ = 0; // sum of every movement
    // The model's latest orientation, absolute; `turned` once one arrived
    // (peers of the first wire version never send one).
    Orientation orientation;
    bool turned = false;
    bool muted = false; // server: the operator stopped relaying this user's voice
    // The user of this very process: a windowed server's host taking part
    // (HostUser). It has no connection, and the process's scene shows it
    // as the own model, not as someone else's.
    bool local = false;
    // What is known of this user beyond the name (UserMarks). A client: what
    // the server said. The server: what the user said of themselves
    // (UserMarksOwn); who hosts it works out from the connection.
    uint32_t marks = 0;
};

// An orientation from the wire is a quaternion whose squared length lies
// within these bounds: it is made a unit one before use. Beyond them it is
// no rotation (zero, not a number, or absurdly long).
constexpr double MinOrientationLengthSquared = 1e-6;
constexpr double MaxOrientationLengthSquared = 1e6;
bool isUsableOrientation(double w, double x, double y, double z);
// A usable orientation made a unit one.
Orientation unitOrientation(double w, double x, double y, double z);

// What a scene shows for one user.
struct ShownModel {
    std::string entity;        // the model shown; empty when none is
    float x = 0, y = 0, z = 0; // the node's position
    bool turned = false;       // an orientation arrived for the user
    double yawDegrees = 0;     // its heading, when turned
};

// What the roster asks of the scene. Implementations keep their own objects
// per record (the renderer: a node and an entity per user).
class ClientScene {
public:
    virtual ~ClientScene();
    // Shows `record.entityName` on the record's node, creating the node at
    // the origin on first use; a previous model has been detached already.
    virtual void attachModel(ClientRecord& record) = 0;
    // Hides and detaches the record's current model; the node stays.
    virtual void detachModel(ClientRecord& record) = 0;
    // Moves the record's node in parent space.
    virtual void translateNode(ClientRecord& record, float dx, float dy, float dz) = 0;
    // The record's orientation changed (record.orientation).
    virtual void orientNode(ClientRecord& record);
    // The record leaves the roster: release what the scene keeps for it.
    virtual void forgetClient(ClientRecord& record) = 0;
    // After each whole operation (set, move, remove) on a user's model.
    virtual void afterChange(const ClientRecord& record, bool removed);

    // Told after each whole operation on a user's model (may be empty): the
    // user's name and what is shown, or null once the user is gone. Every
    // scene reports the same way, so one observer serves both programs.
    using ModelChangeObserver = std::function<void(const std::string& clientName, const ShownModel* shown)>;
    void setOnModelChange(ModelChangeObserver observer) { mOnModelChange = std::move(observer); }
    bool hasOnModelChange() const { return bool(mOnModelChange); }

protected:
    // For afterChange: tells the observer, if there is one.
    void tellModelChange(const std::string& clientName, const ShownModel* shown) const
    {
        if (mOnModelChange)
            mOnModelChange(clientName, shown);
    }

private:
    ModelChangeObserver mOnModelChange;
};

class Roster {
public:
    explicit Roster(ClientScene* scene = nullptr) : mScene(scene) {}
    Roster(const Roster&) = delete;
    Roster& operator=(const Roster&) = delete;
    ~Roster();

    void setScene(ClientScene* scene) { mScene = scene; }

    // Told when a record was appended, got a model (its entityName is set),
    // or is about to be removed. May be empty.
    enum class Change { Joined, Picked, Left };
    using ChangeObserver = std::function<void(Change, const ClientRecord&)>;
    void setOnChange(ChangeObserver observer) { mOnChange = std::move(observer); }

    // Appends a record; it stays until removed.
    ClientRecord& append(const std::string& name, SimpleEventConnection* connection);
    // The first record with this name (byte comparison), or none.
    ClientRecord* find(const std::string& name) const;
    // The record of a connection, or none.
    ClientRecord* findByConnection(const SimpleEventConnection* connection) const;
    // The first record whose name looks like `name` (names.h), or none.
    ClientRecord* findLookAlike(const std::string& name) const;
    // `name` cut to MaxNameBytes, or "name (2)", "name (3)", ... with the
    // name cut so that the whole fits: the first that looks like no name in
    // the roster.
    std::string uniqueName(const std::string& name) const;

    // ---- scene operations ----
    void setClientEntity(const std::string& entityName, float x, float y, float z, const std::string& clientName);
    void moveClient(float dx, float dy, float dz, const std::string& clientName);
    // The user's model now faces `orientation` (a unit quaternion).
    void turnClient(const Orientation& orientation, const std::string& clientName);
    void removeClient(const std::string& clientName);
    // Removes this very record (the first with its name may be another).
    void removeRecord(ClientRecord* record);

    size_t size() const { return mEntries.size(); }
    ClientRecord& operator[](size_t i) const { return *mEntries[i]; }
    void clear();
    // Removes every record as clear() does, without telling the observer:
    // the users did not leave (a client whose server introduces everyone
    // again on a new connection).
    void clearQuietly();

private:
    void setEntity(ClientRecord& record, const std::string& entityName, float x, float y, float z);
    void move(ClientRecord& record, float dx, float dy, float dz);
    // The scene that shows `record`: none for the local user's.
    ClientScene* sceneOf(const ClientRecord& record) const { return record.local ? nullptr : mScene; }
    // Removes the record; `tell`: the observer hears of it first.
    void removeEntry(ClientRecord* record, bool tell);

    std::vector<std::unique_ptr<ClientRecord>> mEntries; // join order
    ClientScene* mScene;
    uint64_t mNextId = 1;
    ChangeObserver mOnChange;
};

} // namespace seafold
