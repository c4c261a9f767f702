// What this kit adds to the shared rows: where it looks for the service, the diagnostics
// callback, the service's end seen from a call, options only Rust can get wrong, threads.

// The tests below that need stand-in scripts or POSIX signals run on POSIX only.
#![cfg_attr(not(unix), allow(unused_imports))]

mod common;

use std::sync::{mpsc, Arc, Mutex};
use std::time::{Duration, Instant};

use common::{service, Scratch};
use korvessa_launcher_kit::{
    default_service_path, proxy_log_offset, ErrorKind, PresenceSession, Sidecar, SidecarExit,
    SidecarOptions,
};

#[test]
fn the_service_is_looked_for_beside_the_program() {
    let beside = std::env::current_exe().unwrap().with_file_name(format!(
        "korvessa-client-services{}",
        std::env::consts::EXE_SUFFIX
    ));
    let error = default_service_path().unwrap_err();
    let from_start = Sidecar::start(SidecarOptions::new("")).unwrap_err();
    for error in [error, from_start] {
        assert_eq!(error.kind(), ErrorKind::Spawn);
        let message = error.to_string();
        assert!(
            message.contains(&format!("{:?}", beside.display().to_string())),
            "{message}"
        );
        assert!(message.contains("service_path"), "{message}");
    }
}

#[test]
fn a_fresh_token_and_calls_from_several_threads() {
    let built = match service() {
        Some(built) => built,
        None => return,
    };
    let scratch = Scratch::new();
    let options = SidecarOptions::new(&scratch.0)
        .service_path(&built)
        .env("XDG_RUNTIME_DIR", scratch.0.join("rt"));
    let sidecar = Arc::new(Sidecar::start(options).unwrap());
    assert!(
        sidecar.token().len() == 64
            && sidecar
                .token()
                .bytes()
                .all(|b| b"0123456789abcdef".contains(&b))
    );
    let calls: Vec<_> = (0..4)
        .map(|_| {
            let sidecar = Arc::clone(&sidecar);
            std::thread::spawn(move || sidecar.check_health())
        })
        .collect();
    for call in calls {
        call.join().unwrap().unwrap();
    }
}

#[cfg(unix)]
// Waits, up to 10 s, until a call fails for the service's end; returns that failure's end.
fn end_seen_by_a_call(sidecar: &Sidecar) -> SidecarExit {
    let started = Instant::now();
    loop {
        match sidecar.take_launch_ticket() {
            Err(error) if error.exit_status().is_some() => {
                assert_eq!(error.kind(), ErrorKind::Connection);
                assert!(
                    error.to_string().contains("the service has ended"),
                    "{error}"
                );
                return error.exit_status().unwrap();
            }
            _ if started.elapsed() > Duration::from_secs(10) => panic!("the service did not end"),
            _ => std::thread::sleep(Duration::from_millis(50)),
        }
    }
}

#[cfg(unix)]
#[test]
fn a_call_after_the_service_ended_by_itself_or_was_killed_from_outside() {
    let built = match service() {
        Some(built) => built,
        None => return,
    };
    let scratch = Scratch::new();
    // Its launcher gone, the service ends with status 0.
    let mut launcher = std::process::Command::new("sleep")
        .arg("60")
        .spawn()
        .unwrap();
    let sidecar = Sidecar::start(scratch.options(&built).launcher_pid(launcher.id())).unwrap();
    launcher.kill().unwrap();
    launcher.wait().unwrap();
    assert_eq!(
        end_seen_by_a_call(&sidecar),
        SidecarExit {
            code: Some(0),
            signal: None,
            killed: false
        }
    );

    let sidecar = Sidecar::start(scratch.options(&built)).unwrap();
    let status = std::process::Command::new("kill")
        .args(["-KILL", &sidecar.pid().to_string()])
        .status();
    assert!(status.unwrap().success());
    let exit = end_seen_by_a_call(&sidecar);
    assert_eq!(
        exit,
        SidecarExit {
            code: None,
            signal: Some(9),
            killed: false
        }
    );
    assert_eq!(sidecar.stop().unwrap(), exit);
}

#[cfg(unix)]
#[test]
fn options_only_rust_can_get_wrong_are_refused_before_anything_starts() {
    use std::os::unix::ffi::OsStrExt;
    let scratch = Scratch::new();
    let program = scratch.stand_in("read line; echo http://127.0.0.1:9; exec sleep 60");
    let not_unicode = std::ffi::OsStr::from_bytes(b"/games/\xff");
    let options = || SidecarOptions::new("").service_path(&program);
    let refused = [
        (
            SidecarOptions::new(not_unicode).service_path(&program),
            "client_dir ",
        ),
        (options().env("A=B", "1"), "env "),
        (options().env("", "1"), "env "),
        (options().env("A", "1\0"), "env "),
        (options().service_path("/bin/\0sh"), "service_path "),
        (options().token("鍵".repeat(11)), "token "), // 33 bytes, not ASCII
        (
            options().request_timeout(Duration::from_millis(u64::from(u32::MAX))),
            "request_timeout ",
        ),
    ];
    for (options, name) in refused {
        let error = Sidecar::start(options).unwrap_err();
        assert_eq!(error.kind(), ErrorKind::InvalidArgument, "{error}");
        assert!(error.to_string().starts_with(name), "{error}");
    }
    assert!(
        !std::path::Path::new(&format!("{}.pid", program.display())).exists(),
        "a program was started"
    );
}

#[cfg(unix)]
#[test]
fn diagnostics_arrive_whole_and_in_order_and_a_callback_cannot_stop_the_reading() {
    let scratch = Scratch::new();
    // A megabyte without a line feed before the address line (a kit that did not read standard
    // error all along would leave the program blocked), the configuration line echoed (its
    // token, which holds a quote, must not show), the address line in two writes, a line split
    // inside a UTF-8 sequence, a CRLF line, and a last line without a line feed.
    let program = scratch.stand_in(
        "head -c 1048576 /dev/zero >&2; IFS= read -r line; printf '%s\\n' \"$line\" >&2\n\
         printf http://127.0.0; sleep 0.2; echo .1:9\n\
         printf 'one\\n\\303' >&2; sleep 0.2; printf '\\274 two\\r\\nthree' >&2; exec sleep 60",
    );
    let token = "0123456789abcdef\"0123456789abcdef";
    let lines = Arc::new(Mutex::new(Vec::new()));
    let seen = Arc::clone(&lines);
    let options = SidecarOptions::new("/games")
        .service_path(&program)
        .token(token)
        .on_diagnostic(move |line| {
            let first = {
                let mut seen = seen.lock().unwrap();
                seen.push(if line.len() > 100 {
                    format!("{} bytes", line.len())
                } else {
                    line
                });
                seen.len() == 1
            };
            assert!(
                !first,
                "a callback that panics is called again for the next line"
            );
        });
    let sidecar = Sidecar::start(options).unwrap();
    assert_eq!(sidecar.url(), "http://127.0.0.1:9");
    let wait_for = |wanted: &str| {
        let started = Instant::now();
        while !lines.lock().unwrap().iter().any(|line| line == wanted)
            && started.elapsed() < Duration::from_secs(10)
        {
            std::thread::sleep(Duration::from_millis(50));
        }
    };
    wait_for("ü two");
    // The last line, without a line feed, comes with the end of the stream.
    sidecar.stop().unwrap();
    wait_for("three");
    let mut expected = vec!["65536 bytes".to_string(); 16];
    expected.push(r#"{"token":"<token>","clientDir":"/games"}"#.to_string());
    expected.extend(["one", "ü two", "three"].map(String::from));
    assert_eq!(*lines.lock().unwrap(), expected);

    // A callback that blocks: the kit goes on draining standard error, and the start succeeds.
    let program =
        scratch.stand_in("seq 100000 >&2; read line; echo http://127.0.0.1:9; exec sleep 60");
    let (release, blocked) = mpsc::channel::<()>();
    let options = SidecarOptions::new("")
        .service_path(&program)
        .on_diagnostic(move |_| {
            let _ = blocked.recv();
        });
    assert_eq!(Sidecar::start(options).unwrap().port(), 9);
    drop(release);
}

#[test]
fn the_proxy_log_offset_is_its_size_and_0_without_one() {
    let scratch = Scratch::new();
    assert_eq!(proxy_log_offset(scratch.0.join("no-such-dir")).unwrap(), 0);
    assert_eq!(proxy_log_offset(&scratch.0).unwrap(), 0);
    std::fs::write(
        scratch.0.join(korvessa_launcher_kit::PROXY_LOG_FILE_NAME),
        "line one\nü\n",
    )
    .unwrap();
    assert_eq!(proxy_log_offset(&scratch.0).unwrap(), 12);
}

#[cfg(unix)]
#[test]
fn a_request_goes_straight_to_the_port_with_the_token_and_gives_up_after_its_time_out() {
    use std::io::Read;
    // A listener that reads the request's head and never answers.
    let listener = std::net::TcpListener::bind("127.0.0.1:0").unwrap();
    let port = listener.local_addr().unwrap().port();
    let (head_sender, head) = mpsc::channel();
    std::thread::spawn(move || {
        let (mut connection, _) = listener.accept().unwrap();
        let mut received = Vec::new();
        let mut chunk = [0u8; 1024];
        while !received.windows(4).any(|w| w == b"\r\n\r\n") {
            let read = connection.read(&mut chunk).unwrap();
            received.extend_from_slice(&chunk[..read]);
        }
        head_sender
            .send(String::from_utf8(received).unwrap())
            .unwrap();
        std::thread::sleep(Duration::from_secs(5));
    });
    let scratch = Scratch::new();
    let program = scratch.stand_in(&format!(
        "read line; echo http://127.0.0.1:{port}; exec sleep 60"
    ));
    let options = scratch
        .options(&program)
        .request_timeout(Duration::from_millis(300));
    let sidecar = Sidecar::start(options.env("http_proxy", "http://127.0.0.1:9")).unwrap();
    let started = Instant::now();
    let error = sidecar
        .put_presence_session(&PresenceSession {
            pid: 1,
            log_offset: 2,
        })
        .unwrap_err();
    assert!(
        started.elapsed() < Duration::from_secs(5),
        "the time-out was not kept"
    );
    assert_eq!(error.kind(), ErrorKind::Connection);
    assert!(
        error
            .to_string()
            .ends_with("no complete reply within 300 ms"),
        "{error}"
    );
    let head = head.recv().unwrap().to_ascii_lowercase();
    assert!(
        head.starts_with("put /presence/session http/1.1\r\n"),
        "{head}"
    );
    let token_line = format!("\r\nx-korvessa-token: {}\r\n", sidecar.token());
    assert!(
        head.contains(&token_line) && head.contains("\r\ncontent-length: 23\r\n"),
        "{head}"
    );
    assert!(!head.contains("expect:"), "{head}");
}
