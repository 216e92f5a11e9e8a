// A request whose answer is read later.  A handler sends the requests of one
// step together and reads the answers afterwards in the order in which it
// would have waited for them one by one: the step costs one round trip to the
// server instead of one per request, and the requests, their order and their
// effects stay those of the step done request by request.  An answer that is
// never read is discarded when its holder goes, so it does not linger in the
// connection's queue.
#pragma once

#include <utility>

#include "xcb/xcb.h"

namespace Velk {

template <typename Cookie>
class PendingReply {
public:
    PendingReply(xcb_connection_t* connection, Cookie sent) : conn(connection), cookie(sent) {}
    ~PendingReply() {
        if (conn) {
            xcb_discard_reply(conn, cookie.sequence);
        }
    }
    PendingReply(PendingReply&& other) noexcept
        : conn(std::exchange(other.conn, nullptr)), cookie(other.cookie) {}
    PendingReply(const PendingReply&) = delete;
    PendingReply& operator=(const PendingReply&) = delete;
    PendingReply& operator=(PendingReply&&) = delete;

    // The reply or the error of a request with a reply; read once.
    template <typename Reply>
    Xcb::ReplyError<Reply> reply(Reply* (*replyFunction)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
        return Xcb::getReply1(replyFunction, std::exchange(conn, nullptr), cookie);
    }

    // The error of a checked request without a reply (empty on success); read
    // once.  Waits for the server only when no later request of the
    // connection brings an answer that shows this one done.
    Xcb::GenericError check() {
        return Xcb::GenericError(xcb_request_check(std::exchange(conn, nullptr), cookie));
    }

private:
    xcb_connection_t* conn;
    Cookie cookie;
};

using PendingCheck = PendingReply<xcb_void_cookie_t>;
using PendingProperty = PendingReply<xcb_get_property_cookie_t>;
using PendingGeometry = PendingReply<xcb_get_geometry_cookie_t>;

// As the connector reads a geometry: {-1, -1, 0, 0} when it cannot be had,
// and no error reported.
inline Xcb::Rect geometryReply(PendingGeometry& read) {
    const auto [geometry, error] = read.reply(xcb_get_geometry_reply);
    if (!geometry) {
        return {-1, -1, 0, 0};
    }
    return {geometry->x, geometry->y, geometry->width, geometry->height};
}

}  // namespace Velk
