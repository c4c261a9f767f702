// The service as a child process: started directly (no shell; on Windows without a console
// window) with its three pipes, asked whether it has ended, killed and waited for. Dropping it
// kills it, so a start that fails anywhere leaves nothing behind.

use std::ffi::OsString;
use std::fmt;
use std::io;
use std::path::Path;
use std::process::{Child, ChildStderr, ChildStdin, ChildStdout, Command, ExitStatus, Stdio};
use std::sync::{Mutex, MutexGuard};

use crate::{Error, ErrorKind};

/// How the service ended.
#[derive(Debug, Clone, Copy, PartialEq, Eq, Hash)]
pub struct SidecarExit {
    /// Its exit status, when it exited (on Windows also after it was killed: 1).
    pub code: Option<i32>,
    /// The signal that ended it (POSIX only): 9 after the kit killed it.
    pub signal: Option<i32>,
    /// Whether this kit killed it ([`Sidecar::stop`](crate::Sidecar::stop), dropping the
    /// sidecar, a failed start). Neither `code` nor `signal` is set when its status could not
    /// be read (it was reaped elsewhere).
    pub killed: bool,
}

impl SidecarExit {
    fn from_status(status: Option<ExitStatus>, killed: bool) -> SidecarExit {
        #[cfg(unix)]
        let signal =
            status.and_then(|status| std::os::unix::process::ExitStatusExt::signal(&status));
        #[cfg(not(unix))]
        let signal = None;
        SidecarExit {
            code: status.and_then(|status| status.code()),
            signal,
            killed,
        }
    }
}

impl fmt::Display for SidecarExit {
    /// "with status 7", "by signal 9", each followed by ", after the kit killed it" when the kit
    /// killed it.
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        match (self.code, self.signal) {
            (Some(code), _) => write!(f, "with status {code}")?,
            (None, Some(signal)) => write!(f, "by signal {signal}")?,
            (None, None) => f.write_str("with a status that could not be read")?,
        }
        if self.killed {
            f.write_str(", after the kit killed it")?;
        }
        Ok(())
    }
}

pub(crate) struct Pipes {
    pub(crate) stdin: ChildStdin,
    pub(crate) stdout: ChildStdout,
    pub(crate) stderr: ChildStderr,
}

pub(crate) struct Service {
    pid: u32,
    state: Mutex<State>,
}

struct State {
    child: Child,
    exit: Option<SidecarExit>,
}

impl State {
    // How it ended, asked of the system without waiting; None while it runs. A status once
    // read is kept: std reaps the child on the first answer. Ended here, it was not killed by
    // the kit, which records the end of what it kills at once.
    fn ended(&mut self) -> Option<SidecarExit> {
        if self.exit.is_none() {
            self.exit = match self.child.try_wait() {
                Ok(None) => None,
                Ok(Some(status)) => Some(SidecarExit::from_status(Some(status), false)),
                Err(_) => Some(SidecarExit::from_status(None, false)),
            };
        }
        self.exit
    }
}

#[cfg(windows)]
fn hide_console(command: &mut Command) {
    use std::os::windows::process::CommandExt;
    // A console program started from a GUI launcher would otherwise open a console window.
    const CREATE_NO_WINDOW: u32 = 0x0800_0000;
    command.creation_flags(CREATE_NO_WINDOW);
}

#[cfg(not(windows))]
fn hide_console(_command: &mut Command) {}

// A child that dies before it reads its input must not take this process down with SIGPIPE when
// the kit writes to it. Rust programs ignore SIGPIPE from the start; a host with another main
// (a C program loading Rust code) may not, and then it is ignored from here on. A handler of
// the host's own is left in place.
#[cfg(unix)]
#[allow(unsafe_code)]
fn ignore_sigpipe() {
    extern "C" {
        fn signal(signum: i32, handler: usize) -> usize;
    }
    const SIGPIPE: i32 = 13;
    const SIG_DFL: usize = 0;
    const SIG_IGN: usize = 1;
    // SAFETY: signal() with SIG_IGN installs no code; a handler found in place is put back.
    unsafe {
        let previous = signal(SIGPIPE, SIG_IGN);
        if previous != SIG_DFL && previous != SIG_IGN {
            signal(SIGPIPE, previous);
        }
    }
}

#[cfg(not(unix))]
fn ignore_sigpipe() {}

impl Service {
    /// Starts `path --launcher-pid PID` with its three pipes and the variables added to this
    /// process's environment.
    pub(crate) fn spawn(
        path: &Path,
        launcher_pid: u32,
        env: &[(OsString, OsString)],
    ) -> Result<(Service, Pipes), Error> {
        ignore_sigpipe();
        let mut command = Command::new(path);
        command
            .arg("--launcher-pid")
            .arg(launcher_pid.to_string())
            .envs(env.iter().map(|(name, value)| (name, value)))
            .stdin(Stdio::piped())
            .stdout(Stdio::piped())
            .stderr(Stdio::piped());
        hide_console(&mut command);
        let mut child = command
            .spawn()
            .map_err(|error| spawn_failure(path, error))?;
        let pipes = match (child.stdin.take(), child.stdout.take(), child.stderr.take()) {
            (Some(stdin), Some(stdout), Some(stderr)) => Pipes {
                stdin,
                stdout,
                stderr,
            },
            _ => unreachable!("the three pipes were asked for"),
        };
        let service = Service {
            pid: child.id(),
            state: Mutex::new(State { child, exit: None }),
        };
        Ok((service, pipes))
    }

    pub(crate) fn pid(&self) -> u32 {
        self.pid
    }

    fn state(&self) -> MutexGuard<'_, State> {
        // The lock is held only by the kit's own code, which does not panic under it; should
        // it ever, the state is still sound.
        self.state
            .lock()
            .unwrap_or_else(|poisoned| poisoned.into_inner())
    }

    /// How the service ended, or None while it runs.
    pub(crate) fn ended(&self) -> Option<SidecarExit> {
        self.state().ended()
    }

    /// Kills the service (if it still runs) and waits for it; the same answer every time.
    pub(crate) fn stop(&self) -> io::Result<SidecarExit> {
        let mut state = self.state();
        if let Some(exit) = state.ended() {
            return Ok(exit);
        }
        // std sends nothing to a child it has already reaped, so the pid cannot be another's.
        if let Err(error) = state.child.kill() {
            // Windows refuses to terminate a process that is ending or has ended.
            if let Some(exit) = state.ended() {
                return Ok(exit);
            }
            return Err(error);
        }
        let status = state.child.wait().ok();
        let exit = SidecarExit::from_status(status, true);
        state.exit = Some(exit);
        Ok(exit)
    }
}

impl Drop for Service {
    fn drop(&mut self) {
        let _ = self.stop();
    }
}

// Why the program could not be started, in words a launcher's developer can act on: the
// system's code alone (EACCES for a directory and for a file without the run bit alike) does
// not say.
fn spawn_failure(path: &Path, error: io::Error) -> Error {
    let reason = match std::fs::metadata(path) {
        Err(_) => "it does not exist. Pass the path of korvessa-client-services as service_path, \
                   or leave service_path out to use the one beside this program"
            .to_string(),
        Ok(found) if found.is_dir() => {
            "it is a directory. service_path must name the korvessa-client-services program itself".to_string()
        }
        Ok(_) => format!(
            "it cannot be run ({error}). It needs the run bit (chmod +x) on a file system that allows \
             programs, and must be a program for this system"
        ),
    };
    Error::new(
        ErrorKind::Spawn,
        format!(
            "the service {:?} could not be started: {reason}",
            path.display().to_string()
        ),
    )
    .with_source(error)
}
