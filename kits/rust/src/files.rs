// Where the launcher's files lie: the service beside the launcher's program, and the proxy log
// in the game client directory.

use std::io;
use std::path::{Path, PathBuf};

use crate::protocol::PROXY_LOG_FILE_NAME;
use crate::{Error, ErrorKind};

/// `korvessa-client-services` (`korvessa-client-services.exe` on Windows) beside the running
/// program (`std::env::current_exe()`): where a Tauri bundle installs the sidecar that
/// `bundle.externalBin` names, where `tauri dev` copies it, and where a plain `cargo build`
/// finds it once it is copied into `target/debug/` or `target/release/`.
///
/// Fails with [`ErrorKind::Spawn`] when no such file is there; the message names the place it
/// looked and says to pass [`SidecarOptions::service_path`](crate::SidecarOptions::service_path).
pub fn default_service_path() -> Result<PathBuf, Error> {
    let name = format!("korvessa-client-services{}", std::env::consts::EXE_SUFFIX);
    let program = std::env::current_exe().map_err(|error| {
        Error::new(
            ErrorKind::Spawn,
            format!(
                "the running program's path is unknown ({error}), so no {name} can be found \
                 beside it: pass service_path"
            ),
        )
        .with_source(error)
    })?;
    let path = program
        .parent()
        .unwrap_or_else(|| Path::new(""))
        .join(&name);
    if path.is_file() {
        return Ok(path);
    }
    Err(Error::new(
        ErrorKind::Spawn,
        format!(
            "no service was found at {:?}, beside the running program: put {name} there (a Tauri \
             bundle's externalBin does), or pass its path as service_path",
            path.display().to_string()
        ),
    ))
}

/// The size in bytes of the proxy log (`KorvessaAuthProxy.log`) in the game client directory,
/// 0 when there is none: the `log_offset` of a [`PresenceSession`](crate::PresenceSession),
/// taken just before the game starts, so that the service follows only the new game's lines.
pub fn proxy_log_offset(client_dir: impl AsRef<Path>) -> io::Result<u64> {
    let client_dir = client_dir.as_ref();
    match std::fs::metadata(client_dir.join(PROXY_LOG_FILE_NAME)) {
        Ok(found) => Ok(if found.is_file() { found.len() } else { 0 }),
        // No log yet, or no such directory (a file in its place included).
        Err(error) if error.kind() == io::ErrorKind::NotFound || !client_dir.is_dir() => Ok(0),
        Err(error) => Err(error),
    }
}
