// How Sidecar::start starts the service: a builder, checked as a whole when the start begins.

use std::ffi::{OsStr, OsString};
use std::fmt;
use std::path::PathBuf;
use std::time::Duration;

use crate::Error;

pub(crate) const DEFAULT_ANNOUNCE_TIMEOUT: Duration = Duration::from_secs(10);
pub(crate) const DEFAULT_REQUEST_TIMEOUT: Duration = Duration::from_secs(5);
// The longest time-out a socket on Windows holds (a DWORD of milliseconds, the last value
// meaning "forever"); the same bound everywhere.
const MAX_TIMEOUT_MS: u64 = u32::MAX as u64 - 1;
const MIN_TOKEN_BYTES: usize = 32;

pub(crate) type DiagnosticCallback = Box<dyn FnMut(String) + Send + 'static>;

/// What [`Sidecar::start`](crate::Sidecar::start) takes: the game client directory, and
/// builder methods for the rest. Every value is checked when the start begins, before anything
/// is started: a refused one fails with [`ErrorKind::InvalidArgument`](crate::ErrorKind)
/// naming it.
///
/// ```no_run
/// use std::time::Duration;
/// use korvessa_launcher_kit::{Sidecar, SidecarOptions};
///
/// let options = SidecarOptions::new("/games/korvessa")
///     .announce_timeout(Duration::from_secs(20))
///     .on_diagnostic(|line| eprintln!("korvessa-client-services: {line}"));
/// let sidecar = Sidecar::start(options)?;
/// # Ok::<(), korvessa_launcher_kit::Error>(())
/// ```
pub struct SidecarOptions {
    pub(crate) client_dir: PathBuf,
    pub(crate) service_path: Option<PathBuf>,
    pub(crate) token: Option<String>,
    pub(crate) launcher_pid: Option<u32>,
    pub(crate) announce_timeout: Duration,
    pub(crate) request_timeout: Duration,
    pub(crate) env: Vec<(OsString, OsString)>,
    pub(crate) on_diagnostic: Option<DiagnosticCallback>,
}

impl SidecarOptions {
    /// Options for a service that follows the proxy log in `client_dir`, the game client
    /// directory: any path that is valid Unicode, passed on as it is; it may be empty and need
    /// not exist yet.
    pub fn new(client_dir: impl Into<PathBuf>) -> SidecarOptions {
        SidecarOptions {
            client_dir: client_dir.into(),
            service_path: None,
            token: None,
            launcher_pid: None,
            announce_timeout: DEFAULT_ANNOUNCE_TIMEOUT,
            request_timeout: DEFAULT_REQUEST_TIMEOUT,
            env: Vec::new(),
            on_diagnostic: None,
        }
    }

    /// The service program, not empty. By default [`default_service_path()`]: the program
    /// beside this one, where a Tauri bundle puts its sidecar.
    ///
    /// [`default_service_path()`]: crate::default_service_path
    pub fn service_path(mut self, path: impl Into<PathBuf>) -> SidecarOptions {
        self.service_path = Some(path.into());
        self
    }

    /// The access token: at least 32 bytes of printable ASCII without spaces (bytes 0x21 to
    /// 0x7E), since it travels in an HTTP header. By default 32 bytes from the system's random
    /// source, hex-encoded.
    pub fn token(mut self, token: impl Into<String>) -> SidecarOptions {
        self.token = Some(token.into());
        self
    }

    /// The process the service stays beside and ends after, from 1 to 4294967295; by default
    /// this one.
    pub fn launcher_pid(mut self, pid: u32) -> SidecarOptions {
        self.launcher_pid = Some(pid);
        self
    }

    /// How long to wait for the address line: more than zero, at most 4294967294 ms; 10 s by
    /// default.
    pub fn announce_timeout(mut self, timeout: Duration) -> SidecarOptions {
        self.announce_timeout = timeout;
        self
    }

    /// The time-out of each request, from connecting to the end of the reply: more than zero,
    /// at most 4294967294 ms; 5 s by default.
    pub fn request_timeout(mut self, timeout: Duration) -> SidecarOptions {
        self.request_timeout = timeout;
        self
    }

    /// Sets a variable in the service's environment, on top of this process's. The name must
    /// not be empty; neither may hold `=` (the value may) or a NUL byte.
    pub fn env(mut self, name: impl Into<OsString>, value: impl Into<OsString>) -> SidecarOptions {
        self.env.push((name.into(), value.into()));
        self
    }

    /// Called with each line the service writes to standard error, without its line feed, in
    /// order, from the start on: on a thread of the kit's, never under a lock of the kit's. A
    /// callback that panics is caught and called again for the next line; one that blocks
    /// holds back only the lines after it (the kit goes on draining standard error, and drops
    /// lines beyond the 256 that wait). The access token in a line shows as `<token>`.
    pub fn on_diagnostic(
        mut self,
        callback: impl FnMut(String) + Send + 'static,
    ) -> SidecarOptions {
        self.on_diagnostic = Some(Box::new(callback));
        self
    }

    // Every rule of the options, before anything starts; never repeats the token.
    pub(crate) fn check(&self) -> Result<(), Error> {
        if self.client_dir.to_str().is_none() {
            return Err(Error::invalid(
                "client_dir",
                "must be valid Unicode: it travels as JSON text",
            ));
        }
        if let Some(path) = &self.service_path {
            if path.as_os_str().is_empty() {
                return Err(Error::invalid("service_path", "must not be empty"));
            }
            if holds(path.as_os_str(), '\0') {
                return Err(Error::invalid("service_path", "must not hold a NUL byte"));
            }
        }
        if let Some(token) = &self.token {
            if token.len() < MIN_TOKEN_BYTES {
                return Err(Error::invalid(
                    "token",
                    format!("must be at least {MIN_TOKEN_BYTES} bytes long"),
                ));
            }
            if !token.bytes().all(|b| b.is_ascii_graphic()) {
                return Err(Error::invalid(
                    "token",
                    "may hold only printable ASCII without spaces (bytes 0x21 to 0x7E): it travels in an HTTP header",
                ));
            }
        }
        if self.launcher_pid == Some(0) {
            return Err(Error::invalid(
                "launcher_pid",
                "must be a whole number from 1 to 4294967295",
            ));
        }
        check_timeout("announce_timeout", self.announce_timeout)?;
        check_timeout("request_timeout", self.request_timeout)?;
        for (name, value) in &self.env {
            if name.is_empty() || holds(name, '=') || holds(name, '\0') || holds(value, '\0') {
                let name = name.to_string_lossy();
                return Err(Error::invalid(
                    "env",
                    format!(
                        "cannot set the variable {name:?}: a name must not be empty, hold '=' or \
                         a NUL byte, and a value must not hold a NUL byte"
                    ),
                ));
            }
        }
        Ok(())
    }
}

// Whether the text holds the ASCII character; a lossy view keeps every ASCII character as it is.
fn holds(text: &OsStr, c: char) -> bool {
    text.to_string_lossy().contains(c)
}

fn check_timeout(name: &str, timeout: Duration) -> Result<(), Error> {
    if timeout.is_zero() || timeout > Duration::from_millis(MAX_TIMEOUT_MS) {
        return Err(Error::invalid(
            name,
            format!("must be more than zero and at most {MAX_TIMEOUT_MS} ms"),
        ));
    }
    Ok(())
}

impl fmt::Debug for SidecarOptions {
    /// Names the options, never the token.
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.debug_struct("SidecarOptions")
            .field("client_dir", &self.client_dir)
            .field("service_path", &self.service_path)
            .field(
                "token",
                &if self.token.is_some() {
                    "<given>"
                } else {
                    "<fresh>"
                },
            )
            .field("launcher_pid", &self.launcher_pid)
            .field("announce_timeout", &self.announce_timeout)
            .field("request_timeout", &self.request_timeout)
            .field("env", &self.env)
            .field("on_diagnostic", &self.on_diagnostic.is_some())
            .finish()
    }
}
