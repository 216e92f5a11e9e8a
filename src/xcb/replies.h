// How the connector hears the server: replies and errors held in handles
// that free them, and the one request style, send now and collect later.
// Requests sent together and collected afterwards cost one round trip
// instead of one each.
#pragma once

// "xcb/xcb.h" names the connector's own header, so the library's is taken in
// through xproto.h, which includes it relative to its own directory.
#include <xcb/xproto.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace Velk::Xcb {

// One reply record as libxcb returns it, shared and released with free.
template <typename Reply>
class GenericReply : public std::shared_ptr<Reply> {
public:
    GenericReply() = default;
    explicit GenericReply(Reply* reply) : std::shared_ptr<Reply>(reply, std::free) {}
};

class GenericError : public std::shared_ptr<xcb_generic_error_t> {
public:
    GenericError() = default;
    explicit GenericError(xcb_generic_error_t* error)
        : std::shared_ptr<xcb_generic_error_t>(error, std::free) {}
    explicit GenericError(std::shared_ptr<xcb_generic_error_t> shared)
        : std::shared_ptr<xcb_generic_error_t>(std::move(shared)) {}
};

class GenericEvent : public std::shared_ptr<xcb_generic_event_t> {
public:
    GenericEvent() = default;
    explicit GenericEvent(xcb_generic_event_t* event)
        : std::shared_ptr<xcb_generic_event_t>(event, std::free) {}

    // An error taken from the event queue (response type 0: the error of a
    // request sent unchecked) has the error layout; the handle shares the
    // event's record.
    GenericError asError() const {
        return GenericError(
            std::shared_ptr<xcb_generic_error_t>(*this, reinterpret_cast<xcb_generic_error_t*>(get())));
    }
};

// The outcome of one request: at most one of the two is set, and both are
// empty when the connection broke before an answer came.
template <typename Reply>
using ReplyError = std::pair<GenericReply<Reply>, GenericError>;

// Waits for the answer to one request and wraps reply and error; logs nothing,
// the caller decides what a failure means.
template <typename Reply, typename Cookie>
ReplyError<Reply> getReply1(Reply* (*replyFunction)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                            xcb_connection_t* conn, Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    Reply* reply = replyFunction(conn, cookie, &error);
    return {GenericReply<Reply>(reply), GenericError(error)};
}

// A request whose answer is read later.  A caller sends the requests of one
// step together and reads the answers afterwards in the order in which it
// would have waited for them one by one: the requests, their order and their
// effects stay those of the step done request by request.  A checked request
// must be sent checked (its error then comes here, never to the event
// queue).  An answer that is never read is discarded when its holder goes,
// so it does not linger in the connection's queue.
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
    ReplyError<Reply> reply(Reply* (*replyFunction)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
        return getReply1(replyFunction, std::exchange(conn, nullptr), cookie);
    }

    // The error of a checked request without a reply (empty on success); read
    // once.  Waits for the server only when no later request of the
    // connection brings an answer that shows this one done.
    GenericError check() { return GenericError(xcb_request_check(std::exchange(conn, nullptr), cookie)); }

private:
    xcb_connection_t* conn;
    Cookie cookie;
};

using PendingCheck = PendingReply<xcb_void_cookie_t>;
using PendingProperty = PendingReply<xcb_get_property_cookie_t>;
using PendingGeometry = PendingReply<xcb_get_geometry_cookie_t>;
using PendingAttributes = PendingReply<xcb_get_window_attributes_cookie_t>;

}  // namespace Velk::Xcb
