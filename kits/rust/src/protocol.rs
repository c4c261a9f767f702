//! The service's wire contract: the token header, the routes, the health reply, the error codes
//! of refused requests, the records' member names and the proxy log's file name.
//!
//! The kit speaks it for you; the constants are here for a launcher that hands the port and the
//! token to a game client of its own, or that reads the body of an [`ErrorKind::Http`] failure.
//!
//! [`ErrorKind::Http`]: crate::ErrorKind::Http

use std::fmt;

/// The header that carries the access token on every request (names match without regard to
/// case).
pub const TOKEN_HEADER: &str = "x-korvessa-token";

/// A route of the service: a method and a whole path, both matched byte for byte.
#[derive(Debug, Clone, Copy, PartialEq, Eq)]
pub struct Route {
    /// The HTTP method, e.g. `"GET"`.
    pub method: &'static str,
    /// The whole path, e.g. `"/health"`.
    pub path: &'static str,
}

impl fmt::Display for Route {
    /// `"GET /health"`.
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        write!(f, "{} {}", self.method, self.path)
    }
}

/// `GET /health`: answered 200 with [`HEALTH_BODY`].
pub const HEALTH: Route = Route {
    method: "GET",
    path: "/health",
};
/// `PUT /launch/session`: stores a launch ticket, answered 204.
pub const PUT_LAUNCH_TICKET: Route = Route {
    method: "PUT",
    path: "/launch/session",
};
/// `GET /launch/session`: hands the held ticket out once (200), or 404 [`ERROR_NO_LAUNCH_SESSION`].
pub const TAKE_LAUNCH_TICKET: Route = Route {
    method: "GET",
    path: "/launch/session",
};
/// `PUT /presence/session`: registers the running game, answered 204.
pub const PUT_PRESENCE_SESSION: Route = Route {
    method: "PUT",
    path: "/presence/session",
};

/// The body of the health reply, byte for byte.
pub const HEALTH_BODY: &str = r#"{"ok":true,"service":"korvessa-client-services"}"#;

/// A request the service could not read.
pub const ERROR_BAD_REQUEST: &str = "bad_request";
/// A request without the right token.
pub const ERROR_UNAUTHORIZED: &str = "unauthorized";
/// A launch ticket the service refused.
pub const ERROR_INVALID_TICKET: &str = "invalid_ticket";
/// A presence session the service refused.
pub const ERROR_INVALID_PRESENCE_SESSION: &str = "invalid_presence_session";
/// No launch ticket is held.
pub const ERROR_NO_LAUNCH_SESSION: &str = "no_launch_session";
/// No such route.
pub const ERROR_NOT_FOUND: &str = "not_found";
/// The service could not write its reply.
pub const ERROR_SERIALIZATION_FAILED: &str = "serialization_failed";

/// The body of a failed request: the compact JSON object `{"ok":false,"error":CODE}`.
pub fn error_body(code: &str) -> String {
    format!(r#"{{"ok":false,"error":"{code}"}}"#)
}

/// The configuration line's member names, in their order.
pub const CONFIG_FIELDS: [&str; 2] = ["token", "clientDir"];
/// A launch ticket's member names, in the order of [`LoginTicket`](crate::LoginTicket)'s fields.
pub const LOGIN_TICKET_FIELDS: [&str; 5] = [
    "username",
    "clientLogin",
    "ticket",
    "expiresAt",
    "ttlSeconds",
];
/// A presence session's member names, in the order of
/// [`PresenceSession`](crate::PresenceSession)'s fields.
pub const PRESENCE_SESSION_FIELDS: [&str; 2] = ["pid", "logOffset"];

/// The authentication proxy's log in the game client directory, which a presence session's
/// `log_offset` points into.
pub const PROXY_LOG_FILE_NAME: &str = "KorvessaAuthProxy.log";
