// The one error type of the kit: every refusal and every failure of a start or a call.

use std::fmt;

use crate::SidecarExit;

/// What went wrong; see [`Error::kind`].
#[derive(Debug, Clone, Copy, PartialEq, Eq, Hash)]
pub enum ErrorKind {
    /// An option or a record breaks a rule of the kit, and nothing was started or sent. The
    /// message begins with the option's or the field's name; it never holds the token.
    InvalidArgument,
    /// The program could not be started: the message says whether its path does not exist, is
    /// a directory or cannot be run (the system's error is the [`source`]), or that no service
    /// lies beside this program.
    ///
    /// [`source`]: std::error::Error::source
    Spawn,
    /// The service ended before it announced its address: [`Error::exit_status`] says how, and
    /// [`Error::diagnostics`] holds what it wrote to standard error (status 4: no launcher
    /// process with that id; status 3: a configuration it refused).
    Exited,
    /// No address line within the announce time-out; the service was killed.
    AnnounceTimeout,
    /// The first line on the service's standard output is not `http://127.0.0.1:PORT`; the
    /// service was killed.
    BadAnnouncement,
    /// A reply other than the route promises: [`Error::http_status`] and [`Error::body`] hold
    /// it.
    Http,
    /// No request could be made or no whole reply read (the system's error is the
    /// [`source`]), the request time-out passed, or the service had already ended
    /// ([`Error::exit_status`] says how; no request was made).
    ///
    /// [`source`]: std::error::Error::source
    Connection,
}

/// A failure of the kit. Its message (`Display`) says what went wrong in words a launcher's
/// developer can act on; neither the message, nor `Debug`, nor any field holds the token.
pub struct Error {
    kind: ErrorKind,
    message: String,
    exit: Option<SidecarExit>,
    http_status: Option<u16>,
    body: Option<String>,
    diagnostics: Vec<String>,
    source: Option<Box<dyn std::error::Error + Send + Sync + 'static>>,
}

impl Error {
    pub(crate) fn new(kind: ErrorKind, message: impl Into<String>) -> Error {
        Error {
            kind,
            message: message.into(),
            exit: None,
            http_status: None,
            body: None,
            diagnostics: Vec::new(),
            source: None,
        }
    }

    // A refused option or record field: "NAME RULE", e.g. "ticket must not be empty".
    pub(crate) fn invalid(name: &str, rule: impl fmt::Display) -> Error {
        Error::new(ErrorKind::InvalidArgument, format!("{name} {rule}"))
    }

    pub(crate) fn with_source(
        mut self,
        source: impl std::error::Error + Send + Sync + 'static,
    ) -> Error {
        self.source = Some(Box::new(source));
        self
    }

    pub(crate) fn with_exit(mut self, exit: SidecarExit, diagnostics: Vec<String>) -> Error {
        self.exit = Some(exit);
        self.diagnostics = diagnostics;
        self
    }

    pub(crate) fn with_reply(mut self, status: u16, body: String) -> Error {
        self.http_status = Some(status);
        self.body = Some(body);
        self
    }

    /// What went wrong.
    pub fn kind(&self) -> ErrorKind {
        self.kind
    }

    /// How the service ended: set for [`ErrorKind::Exited`], and for [`ErrorKind::Connection`]
    /// when the service had already ended.
    pub fn exit_status(&self) -> Option<SidecarExit> {
        self.exit
    }

    /// The HTTP status of the reply ([`ErrorKind::Http`]).
    pub fn http_status(&self) -> Option<u16> {
        self.http_status
    }

    /// The whole body of the reply ([`ErrorKind::Http`]). It may hold a ticket's secrets, so it
    /// is not in the message, and `Debug` shows only its length.
    pub fn body(&self) -> Option<&str> {
        self.body.as_deref()
    }

    /// The lines the service wrote to standard error before it ended ([`ErrorKind::Exited`]),
    /// the last 100 at most; empty for the other kinds.
    pub fn diagnostics(&self) -> &[String] {
        &self.diagnostics
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.write_str(&self.message)
    }
}

impl fmt::Debug for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        let mut debug = f.debug_struct("Error");
        debug
            .field("kind", &self.kind)
            .field("message", &self.message);
        if let Some(exit) = &self.exit {
            debug.field("exit_status", exit);
        }
        if let Some(status) = self.http_status {
            debug.field("http_status", &status);
        }
        if let Some(body) = &self.body {
            debug.field("body_bytes", &body.len());
        }
        if !self.diagnostics.is_empty() {
            debug.field("diagnostics", &self.diagnostics);
        }
        if let Some(source) = &self.source {
            debug.field("source", source);
        }
        debug.finish()
    }
}

impl std::error::Error for Error {
    fn source(&self) -> Option<&(dyn std::error::Error + 'static)> {
        self.source
            .as_deref()
            .map(|source| source as &(dyn std::error::Error + 'static))
    }
}
