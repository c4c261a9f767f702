// The two records the launcher hands the service, their checks at the call, and their JSON.

use std::fmt;

use crate::json::{self, Read, Value};
use crate::protocol::{LOGIN_TICKET_FIELDS, PRESENCE_SESSION_FIELDS};
use crate::Error;

/// A launch ticket, as [`Sidecar::put_launch_ticket`](crate::Sidecar::put_launch_ticket) stores
/// it and [`Sidecar::take_launch_ticket`](crate::Sidecar::take_launch_ticket) hands it back.
///
/// `Debug` shows the ticket's length, not the ticket.
#[derive(Clone, PartialEq, Eq, Hash)]
pub struct LoginTicket {
    /// The player's name; any text, may be empty.
    pub username: String,
    /// The client login; must begin with `!`.
    pub client_login: String,
    /// The ticket; must not be empty.
    pub ticket: String,
    /// Kept for the game client, unread by the service; any text.
    pub expires_at: String,
    /// Kept for the game client, unread by the service.
    pub ttl_seconds: u64,
}

impl LoginTicket {
    // The rules the service holds a ticket to, checked before anything is sent.
    pub(crate) fn check(&self) -> Result<(), Error> {
        if !self.client_login.starts_with('!') {
            return Err(Error::invalid("client_login", "must begin with \"!\""));
        }
        if self.ticket.is_empty() {
            return Err(Error::invalid("ticket", "must not be empty"));
        }
        Ok(())
    }

    pub(crate) fn json_body(&self) -> String {
        let [username, client_login, ticket, expires_at, ttl_seconds] = LOGIN_TICKET_FIELDS;
        json::object(&[
            (username, Value::Text(&self.username)),
            (client_login, Value::Text(&self.client_login)),
            (ticket, Value::Text(&self.ticket)),
            (expires_at, Value::Text(&self.expires_at)),
            (ttl_seconds, Value::Number(self.ttl_seconds)),
        ])
    }

    // The ticket of a GET /launch/session reply; None when the body is not one.
    pub(crate) fn from_json(body: &str) -> Option<LoginTicket> {
        let members = json::read_object(body)?;
        let find = |name: &str| {
            members
                .iter()
                .find(|(member, _)| member == name)
                .map(|(_, value)| value)
        };
        let text = |name: &str| match find(name) {
            Some(Read::Text(text)) => Some(text.clone()),
            _ => None,
        };
        let [username, client_login, ticket, expires_at, ttl_seconds] = LOGIN_TICKET_FIELDS;
        Some(LoginTicket {
            username: text(username)?,
            client_login: text(client_login)?,
            ticket: text(ticket)?,
            expires_at: text(expires_at)?,
            ttl_seconds: match find(ttl_seconds) {
                Some(Read::Number(number)) => *number,
                _ => return None,
            },
        })
    }
}

impl fmt::Debug for LoginTicket {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.debug_struct("LoginTicket")
            .field("username", &self.username)
            .field("client_login", &self.client_login)
            .field("ticket", &format_args!("<{} bytes>", self.ticket.len()))
            .field("expires_at", &self.expires_at)
            .field("ttl_seconds", &self.ttl_seconds)
            .finish()
    }
}

/// The running game, as [`Sidecar::put_presence_session`](crate::Sidecar::put_presence_session)
/// registers it.
#[derive(Debug, Clone, Copy, PartialEq, Eq, Hash)]
pub struct PresenceSession {
    /// The game's process id, from 1 to 4294967295 (`std::process::Child::id()`).
    pub pid: u32,
    /// The proxy log's size just before the game started: see
    /// [`proxy_log_offset`](crate::proxy_log_offset).
    pub log_offset: u64,
}

impl PresenceSession {
    pub(crate) fn check(&self) -> Result<(), Error> {
        if self.pid == 0 {
            return Err(Error::invalid(
                "pid",
                "must be a whole number from 1 to 4294967295",
            ));
        }
        Ok(())
    }

    pub(crate) fn json_body(&self) -> String {
        let [pid, log_offset] = PRESENCE_SESSION_FIELDS;
        json::object(&[
            (pid, Value::Number(u64::from(self.pid))),
            (log_offset, Value::Number(self.log_offset)),
        ])
    }
}
