// The plain event connection the interface-level fuzz programs make their
// peers of. Included once per fuzz program: it registers the class.
#pragma once

#include "net/eventconnection.h"

namespace {

class FuzzConnection : public seafold::EventConnection {
    SF_DECLARE_CLASS(FuzzConnection)
public:
    uint32_t classGroup() const override { return seafold::NetClassGroupDefault; }
};
SF_IMPLEMENT_NETCONNECTION(FuzzConnection);

} // namespace
