// The launcher's side of korvessa-client-services: start the service beside this process, hand
// it the configuration line, learn its address, call its routes, stop it.

use std::fmt;
use std::io::Write;
use std::process::ChildStdout;
use std::sync::mpsc::{self, Receiver, RecvTimeoutError};
use std::thread;
use std::time::{Duration, Instant};

use crate::diagnostics::Diagnostics;
use crate::http::{self, Reply};
use crate::json::{self, Value};
use crate::lines::Lines;
use crate::process::Service;
use crate::protocol::{self, Route};
use crate::redact::{clip, Redaction};
use crate::{random, Error, ErrorKind, LoginTicket, PresenceSession, SidecarExit, SidecarOptions};

// The address line is about 30 bytes; anything much longer is not one.
const MAX_ANNOUNCEMENT_BYTES: usize = 1024;
// How long a service that closed its standard output is given to close standard error too, so
// that an `exited` failure carries all it wrote.
const ERRORS_AFTER_END: Duration = Duration::from_secs(1);

/// A running `korvessa-client-services` beside this process. Start one with
/// [`Sidecar::start`]; every call blocks until its reply, and may be made from several threads
/// at once (`Sidecar` is `Send + Sync`: share it in an `Arc`).
///
/// When this process ends, the service notices within about 100 ms and ends too, with status
/// 0. [`Sidecar::stop`], or dropping the sidecar, kills it at once. Once the service has ended
/// (stopped, killed from outside, crashed), every call fails at once with
/// [`ErrorKind::Connection`], without a request, saying how it ended.
///
/// Each request opens a connection of its own. The service looks for a new connection about
/// every 100 ms, so calls made one after another take up to about 100 ms each; calls made
/// together from several threads are taken in the same turn.
pub struct Sidecar {
    // Dropped with the sidecar, which kills the service and waits for it.
    service: Service,
    url: String,
    port: u16,
    launcher_pid: u32,
    token: String,
    request_timeout: Duration,
}

// What the thread reading standard output saw first.
enum Announcement {
    Line(Vec<u8>),
    End,
}

impl Sidecar {
    /// Starts the service with `--launcher-pid`, writes the configuration line (compact JSON
    /// with the token and the client directory, UTF-8 without a byte-order mark, then a line
    /// feed) and waits for the address line, at most 1 KiB, within the announce time-out.
    ///
    /// Options that break a rule fail with [`ErrorKind::InvalidArgument`] before anything
    /// starts; otherwise a start that fails kills the service and waits for it, so nothing is
    /// left running.
    pub fn start(options: SidecarOptions) -> Result<Sidecar, Error> {
        options.check()?;
        let SidecarOptions {
            client_dir,
            service_path,
            token,
            launcher_pid,
            announce_timeout,
            request_timeout,
            env,
            on_diagnostic,
        } = options;
        let token = match token {
            Some(token) => token,
            None => random::token().map_err(|error| {
                Error::new(
                    ErrorKind::Spawn,
                    format!("no fresh token could be made ({error}): pass token"),
                )
                .with_source(error)
            })?,
        };
        let launcher_pid = launcher_pid.unwrap_or_else(std::process::id);
        let service_path = match service_path {
            Some(path) => path,
            None => crate::default_service_path()?,
        };
        let [token_name, client_dir_name] = protocol::CONFIG_FIELDS;
        // The options' check made sure that the directory is Unicode.
        let client_dir = client_dir.to_string_lossy();
        let mut configuration = json::object(&[
            (token_name, Value::Text(&token)),
            (client_dir_name, Value::Text(&client_dir)),
        ]);
        configuration.push('\n');
        let redaction = Redaction::new(&token);

        let deadline = Instant::now() + announce_timeout;
        let (service, pipes) = Service::spawn(&service_path, launcher_pid, &env)?;
        // From here on, returning early drops `service`, which kills the child and waits for it.
        let thread_failure = |error: std::io::Error| {
            Error::new(
                ErrorKind::Spawn,
                format!("the kit could not start a thread of its own ({error})"),
            )
            .with_source(error)
        };
        let diagnostics = Diagnostics::read(pipes.stderr, redaction.clone(), on_diagnostic)
            .map_err(thread_failure)?;
        let announcement = read_announcement(pipes.stdout).map_err(thread_failure)?;
        // Written on a thread of its own: a program that never reads its input must not hold
        // the start past its time-out. The service reads one line and never looks again.
        let (taken_sender, taken) = mpsc::channel::<bool>();
        let mut stdin = pipes.stdin;
        thread::Builder::new()
            .name("korvessa-kit-stdin".into())
            .spawn(move || {
                let written = stdin
                    .write_all(configuration.as_bytes())
                    .and_then(|_| stdin.flush());
                let _ = taken_sender.send(written.is_ok());
            })
            .map_err(thread_failure)?;

        let left = || deadline.saturating_duration_since(Instant::now());
        let line = match announcement.recv_timeout(left()) {
            Ok(Announcement::Line(line)) => line,
            Ok(Announcement::End) | Err(RecvTimeoutError::Disconnected) => {
                // Standard output closed without a line: the service is ending.
                diagnostics.wait_for_end(left().min(ERRORS_AFTER_END));
                match wait_for_exit(&service, deadline) {
                    Some(exit) => {
                        let taken = taken.recv_timeout(left()).unwrap_or(true);
                        return Err(ended_early(exit, diagnostics.kept(), taken));
                    }
                    None => return Err(announce_timeout_error(announce_timeout)),
                }
            }
            Err(RecvTimeoutError::Timeout) => return Err(announce_timeout_error(announce_timeout)),
        };
        let port = match announced_port(&line) {
            Some(port) => port,
            None => {
                let shown = json::quote(&clip(&redaction.apply(&String::from_utf8_lossy(&line))));
                return Err(Error::new(
                    ErrorKind::BadAnnouncement,
                    format!("the service announced {shown} instead of its address"),
                ));
            }
        };
        Ok(Sidecar {
            service,
            url: format!("http://127.0.0.1:{port}"),
            port,
            launcher_pid,
            token,
            request_timeout,
        })
    }

    /// `"http://127.0.0.1:PORT"`, the address the service announced.
    pub fn url(&self) -> &str {
        &self.url
    }

    /// The port the service listens on, on 127.0.0.1.
    pub fn port(&self) -> u16 {
        self.port
    }

    /// The service's process id.
    pub fn pid(&self) -> u32 {
        self.service.pid()
    }

    /// The process the service stays beside and ends after.
    pub fn launcher_pid(&self) -> u32 {
        self.launcher_pid
    }

    /// The access token: hand it only to whoever else talks to the service (the game client).
    pub fn token(&self) -> &str {
        &self.token
    }

    /// `GET /health`: `Ok(())` on the health reply (200 with
    /// [`HEALTH_BODY`](protocol::HEALTH_BODY)); any other reply is an [`ErrorKind::Http`]
    /// failure.
    pub fn check_health(&self) -> Result<(), Error> {
        let reply = self.call(protocol::HEALTH, None)?;
        if reply.status != 200 || reply.body != protocol::HEALTH_BODY.as_bytes() {
            return Err(unexpected(protocol::HEALTH, &reply));
        }
        Ok(())
    }

    /// `PUT /launch/session`: stores the ticket for the game client, replacing any held one. A
    /// ticket that breaks a rule of [`LoginTicket`] fails with [`ErrorKind::InvalidArgument`]
    /// naming the field, and nothing is sent.
    pub fn put_launch_ticket(&self, ticket: &LoginTicket) -> Result<(), Error> {
        ticket.check()?;
        self.store(protocol::PUT_LAUNCH_TICKET, &ticket.json_body())
    }

    /// `GET /launch/session`: takes the held ticket out of the service (it is handed out once),
    /// or `None` when none is held.
    pub fn take_launch_ticket(&self) -> Result<Option<LoginTicket>, Error> {
        let route = protocol::TAKE_LAUNCH_TICKET;
        let reply = self.call(route, None)?;
        if reply.status == 404
            && reply.body == protocol::error_body(protocol::ERROR_NO_LAUNCH_SESSION).as_bytes()
        {
            return Ok(None);
        }
        if reply.status != 200 {
            return Err(unexpected(route, &reply));
        }
        let ticket = std::str::from_utf8(&reply.body)
            .ok()
            .and_then(LoginTicket::from_json);
        match ticket {
            Some(ticket) => Ok(Some(ticket)),
            // The body is a ticket's secrets, or garbage: it goes into the error, not the message.
            None => Err(Error::new(
                ErrorKind::Http,
                format!(
                    "{route} answered {} with a body that is not a launch ticket",
                    reply.status_text
                ),
            )
            .with_reply(reply.status, reply.body_text())),
        }
    }

    /// `PUT /presence/session`: registers the running game for presence. A session whose `pid`
    /// is 0 fails with [`ErrorKind::InvalidArgument`], and nothing is sent.
    pub fn put_presence_session(&self, session: &PresenceSession) -> Result<(), Error> {
        session.check()?;
        self.store(protocol::PUT_PRESENCE_SESSION, &session.json_body())
    }

    /// Kills the service at once (SIGKILL; on Windows TerminateProcess) and waits for it; at
    /// once if it had already ended. It returns the same [`SidecarExit`] every time. A request
    /// under way gets no answer; a ticket the service holds is lost, and the activity it showed
    /// stays until Discord notices the closed connection. To let the service end by itself,
    /// end this process instead.
    pub fn stop(&self) -> Result<SidecarExit, Error> {
        self.service.stop().map_err(|error| {
            Error::new(
                ErrorKind::Connection,
                format!("the service could not be killed: {error}"),
            )
            .with_source(error)
        })
    }

    fn store(&self, route: Route, body: &str) -> Result<(), Error> {
        let reply = self.call(route, Some(body))?;
        if reply.status != 204 {
            return Err(unexpected(route, &reply));
        }
        Ok(())
    }

    fn call(&self, route: Route, body: Option<&str>) -> Result<Reply, Error> {
        self.fail_if_ended(route)?;
        http::request(self.port, &self.token, route, body, self.request_timeout).map_err(|error| {
            // The service may have ended while the request was on its way: say so rather than
            // the connection's error.
            self.fail_if_ended(route).err().unwrap_or(error)
        })
    }

    fn fail_if_ended(&self, route: Route) -> Result<(), Error> {
        match self.service.ended() {
            None => Ok(()),
            Some(exit) => Err(Error::new(
                ErrorKind::Connection,
                format!("{route}: the service has ended ({exit}); start a new sidecar to go on"),
            )
            .with_exit(exit, Vec::new())),
        }
    }
}

impl fmt::Debug for Sidecar {
    /// Names the service by its address and process ids, never the token.
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.debug_struct("Sidecar")
            .field("url", &self.url)
            .field("pid", &self.pid())
            .field("launcher_pid", &self.launcher_pid)
            .finish()
    }
}

// Reads the first line of standard output on a thread of its own, then drains the rest, so
// that a program that writes more never blocks on a full pipe.
fn read_announcement(stdout: ChildStdout) -> std::io::Result<Receiver<Announcement>> {
    let (sender, announcement) = mpsc::channel();
    thread::Builder::new()
        .name("korvessa-kit-stdout".into())
        .spawn(move || {
            let mut lines = Lines::new(stdout, MAX_ANNOUNCEMENT_BYTES);
            let first = match lines.next_line() {
                Ok(Some(line)) => Announcement::Line(line),
                Ok(None) | Err(_) => Announcement::End,
            };
            let _ = sender.send(first);
            lines.drain();
        })?;
    Ok(announcement)
}

// Waits for a service that closed its standard output to end, until the deadline: how it ended,
// or None when it still runs. Its pipes closing and its status becoming readable are close
// together but not one event, and std has no wait with a time-out: asked every 10 ms.
fn wait_for_exit(service: &Service, deadline: Instant) -> Option<SidecarExit> {
    loop {
        if let Some(exit) = service.ended() {
            return Some(exit);
        }
        let left = deadline.saturating_duration_since(Instant::now());
        if left.is_zero() {
            return None;
        }
        thread::sleep(left.min(Duration::from_millis(10)));
    }
}

fn ended_early(exit: SidecarExit, diagnostics: Vec<String>, taken: bool) -> Error {
    let reason = match diagnostics.first() {
        Some(first) => format!(" ({})", clip(first)),
        None if !taken => " (it did not take the configuration line)".to_string(),
        None => String::new(),
    };
    Error::new(
        ErrorKind::Exited,
        format!("the service ended {exit} before announcing its address{reason}"),
    )
    .with_exit(exit, diagnostics)
}

fn announce_timeout_error(timeout: Duration) -> Error {
    Error::new(
        ErrorKind::AnnounceTimeout,
        format!(
            "the service did not announce its address within {}",
            duration_text(timeout)
        ),
    )
}

// The port of an address line "http://127.0.0.1:PORT" (1 to 65535, 1 to 5 digits without a
// leading zero, as the service writes it), or None.
fn announced_port(line: &[u8]) -> Option<u16> {
    let digits = line.strip_prefix(b"http://127.0.0.1:")?;
    if digits.is_empty()
        || digits.len() > 5
        || digits[0] == b'0'
        || !digits.iter().all(u8::is_ascii_digit)
    {
        return None;
    }
    let port: u32 = std::str::from_utf8(digits).ok()?.parse().ok()?;
    u16::try_from(port).ok().filter(|&port| port != 0)
}

fn unexpected(route: Route, reply: &Reply) -> Error {
    let body = reply.body_text();
    let shown = if body.is_empty() {
        String::new()
    } else {
        format!(" {}", clip(&body))
    };
    Error::new(
        ErrorKind::Http,
        format!("{route} answered {}{shown}", reply.status_text),
    )
    .with_reply(reply.status, body)
}

/// "10 s" for whole seconds, else "300 ms".
pub(crate) fn duration_text(duration: Duration) -> String {
    if duration.subsec_nanos() == 0 {
        format!("{} s", duration.as_secs())
    } else {
        format!("{} ms", duration.as_millis().max(1))
    }
}
