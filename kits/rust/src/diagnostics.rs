// The service's standard error, read from the start on a thread of its own, so that the service
// never blocks on a full pipe. Each line is kept (the last 100, for an `exited` failure) and
// handed to the launcher's callback on a second thread: a callback that blocks holds back only
// the lines queued for it, never the reading.

use std::collections::VecDeque;
use std::panic::{self, AssertUnwindSafe};
use std::process::ChildStderr;
use std::sync::mpsc::{self, Receiver, SyncSender};
use std::sync::{Arc, Mutex};
use std::thread;

use crate::lines::Lines;
use crate::options::DiagnosticCallback;
use crate::redact::Redaction;

const MAX_LINE_BYTES: usize = 64 * 1024;
const MAX_KEPT: usize = 100;
// Lines waiting for a callback that is busy; more are dropped rather than held.
const MAX_QUEUED: usize = 256;

pub(crate) struct Diagnostics {
    kept: Arc<Mutex<VecDeque<String>>>,
    // Closed when the reading has ended (the pipe closed or failed).
    ended: Receiver<()>,
}

impl Diagnostics {
    pub(crate) fn read(
        stderr: ChildStderr,
        redaction: Redaction,
        callback: Option<DiagnosticCallback>,
    ) -> std::io::Result<Diagnostics> {
        let deliver = match callback {
            Some(callback) => Some(dispatch(callback)?),
            None => None,
        };
        let kept = Arc::new(Mutex::new(VecDeque::new()));
        let (ended_sender, ended) = mpsc::channel::<()>();
        let shared = Arc::clone(&kept);
        thread::Builder::new()
            .name("korvessa-kit-stderr".into())
            .spawn(move || {
                let _ended = ended_sender; // dropped with the thread, however it ends
                let mut lines = Lines::new(stderr, MAX_LINE_BYTES);
                while let Ok(Some(bytes)) = lines.next_line() {
                    let line = redaction.apply(&String::from_utf8_lossy(&bytes));
                    {
                        let mut kept = shared
                            .lock()
                            .unwrap_or_else(|poisoned| poisoned.into_inner());
                        if kept.len() == MAX_KEPT {
                            kept.pop_front();
                        }
                        kept.push_back(line.clone());
                    }
                    if let Some(deliver) = &deliver {
                        let _ = deliver.try_send(line);
                    }
                }
            })?;
        Ok(Diagnostics { kept, ended })
    }

    /// Waits up to `timeout` for the reading to end: the service has closed standard error.
    pub(crate) fn wait_for_end(&self, timeout: std::time::Duration) {
        let _ = self.ended.recv_timeout(timeout);
    }

    /// The lines kept so far, oldest first.
    pub(crate) fn kept(&self) -> Vec<String> {
        let kept = self
            .kept
            .lock()
            .unwrap_or_else(|poisoned| poisoned.into_inner());
        kept.iter().cloned().collect()
    }
}

// The thread that calls the callback, and the queue to it. It ends when the reader has ended
// and the queue is empty.
fn dispatch(mut callback: DiagnosticCallback) -> std::io::Result<SyncSender<String>> {
    let (sender, queue) = mpsc::sync_channel::<String>(MAX_QUEUED);
    thread::Builder::new()
        .name("korvessa-kit-diagnostics".into())
        .spawn(move || {
            for line in queue {
                // A callback that panics has its panic caught here; the next line is handed on.
                let _ = panic::catch_unwind(AssertUnwindSafe(|| callback(line)));
            }
        })?;
    Ok(sender)
}
