//! Start `korvessa-client-services` beside a Rust or Tauri game launcher and talk to it.
//!
//! [`Sidecar::start`] spawns the service with the launcher's process id, hands it the
//! configuration line with a fresh access token, waits for its address, and then calls its
//! routes. The kit is blocking and uses the standard library alone; a [`Sidecar`] may be used
//! from several threads at once. In a Tauri app, call it from an async command through
//! `tauri::async_runtime::spawn_blocking`, or from a `#[tauri::command(async)]` (see the
//! README).
//!
//! ```no_run
//! use korvessa_launcher_kit::{proxy_log_offset, LoginTicket, PresenceSession, Sidecar, SidecarOptions};
//!
//! let client_dir = "/games/korvessa";
//! // The service beside this program (where a Tauri bundle puts its sidecar), a fresh token.
//! let sidecar = Sidecar::start(SidecarOptions::new(client_dir))?;
//! sidecar.check_health()?;
//! sidecar.put_launch_ticket(&LoginTicket {
//!     username: "ann".into(),
//!     client_login: "!ann".into(),
//!     ticket: "T-1234".into(),
//!     expires_at: "2026-01-01T00:00:00Z".into(),
//!     ttl_seconds: 3600,
//! })?;
//! let log_offset = proxy_log_offset(client_dir)?; // just before the game starts
//! let game = std::process::Command::new("/games/korvessa/game").current_dir(client_dir).spawn()?;
//! sidecar.put_presence_session(&PresenceSession { pid: game.id(), log_offset })?;
//! # Ok::<(), Box<dyn std::error::Error>>(())
//! ```
#![deny(missing_docs)]
#![deny(unsafe_code)]

mod diagnostics;
mod error;
mod files;
mod http;
mod json;
mod lines;
mod options;
mod process;
pub mod protocol;
mod random;
mod records;
mod redact;
mod sidecar;

pub use error::{Error, ErrorKind};
pub use files::{default_service_path, proxy_log_offset};
pub use options::SidecarOptions;
pub use process::SidecarExit;
pub use protocol::PROXY_LOG_FILE_NAME;
pub use records::{LoginTicket, PresenceSession};
pub use sidecar::Sidecar;

// A sidecar is shared between threads, its errors cross them, and its options may be built on
// one thread for a start on another.
const _: fn() = || {
    fn shareable<T: Send + Sync + 'static>() {}
    fn sendable<T: Send + 'static>() {}
    shareable::<Sidecar>();
    shareable::<Error>();
    sendable::<SidecarOptions>();
};
