// Shared by the tests: the table every kit runs (kits/cases.json) read with a JSON reader of the
// tests' own (never the kit's), the built service, private folders, stand-in programs, and the
// checks of a failure against a row's expectations.
#![allow(dead_code)]

use std::path::{Path, PathBuf};
use std::sync::atomic::{AtomicUsize, Ordering};

use korvessa_launcher_kit::{
    Error, ErrorKind, LoginTicket, PresenceSession, Sidecar, SidecarOptions,
};

/// A JSON value; numbers keep their text, so that a test can tell which fit a Rust type.
#[derive(Debug, Clone, PartialEq)]
pub enum Json {
    Null,
    Bool(bool),
    Number(String),
    Text(String),
    Array(Vec<Json>),
    Object(Vec<(String, Json)>),
}

impl Json {
    pub fn parse(text: &str) -> Json {
        let mut chars: Vec<char> = text.chars().collect();
        chars.reverse(); // read from the end: pop() takes the next character
        let value = parse_value(&mut chars);
        skip_space(&mut chars);
        assert!(chars.is_empty(), "text after the JSON value");
        value
    }

    pub fn get(&self, name: &str) -> Option<&Json> {
        match self {
            Json::Object(members) => members
                .iter()
                .find(|(member, _)| member == name)
                .map(|(_, value)| value),
            _ => None,
        }
    }

    pub fn at(&self, name: &str) -> &Json {
        self.get(name)
            .unwrap_or_else(|| panic!("no member {name} in {self:?}"))
    }

    pub fn text(&self) -> &str {
        match self {
            Json::Text(text) => text,
            _ => panic!("not a string: {self:?}"),
        }
    }

    pub fn items(&self) -> &[Json] {
        match self {
            Json::Array(items) => items,
            _ => panic!("not an array: {self:?}"),
        }
    }

    pub fn members(&self) -> &[(String, Json)] {
        match self {
            Json::Object(members) => members,
            _ => panic!("not an object: {self:?}"),
        }
    }

    /// The number as a T, or None when T cannot hold it (negative, fractional, too large).
    pub fn number<T: std::str::FromStr>(&self) -> Option<T> {
        match self {
            Json::Number(text) => text.parse().ok(),
            _ => panic!("not a number: {self:?}"),
        }
    }
}

fn skip_space(chars: &mut Vec<char>) {
    while chars.last().map_or(false, |c| c.is_whitespace()) {
        chars.pop();
    }
}

fn parse_value(chars: &mut Vec<char>) -> Json {
    skip_space(chars);
    match chars.pop().expect("a value") {
        '{' => {
            let mut members = Vec::new();
            loop {
                skip_space(chars);
                match chars.pop() {
                    Some('}') => return Json::Object(members),
                    Some(',') => continue,
                    Some('"') => {
                        let name = parse_string(chars);
                        skip_space(chars);
                        assert_eq!(chars.pop(), Some(':'));
                        members.push((name, parse_value(chars)));
                    }
                    other => panic!("unexpected {other:?} in an object"),
                }
            }
        }
        '[' => {
            let mut items = Vec::new();
            loop {
                skip_space(chars);
                match chars.last() {
                    Some(']') => {
                        chars.pop();
                        return Json::Array(items);
                    }
                    Some(',') => {
                        chars.pop();
                    }
                    _ => items.push(parse_value(chars)),
                }
            }
        }
        '"' => Json::Text(parse_string(chars)),
        c if c == '-' || c.is_ascii_digit() => {
            let mut number = c.to_string();
            while chars
                .last()
                .map_or(false, |c| c.is_ascii_digit() || "+-.eE".contains(*c))
            {
                number.push(chars.pop().unwrap());
            }
            Json::Number(number)
        }
        c => {
            let mut word = c.to_string();
            while chars.last().map_or(false, |c| c.is_ascii_alphabetic()) {
                word.push(chars.pop().unwrap());
            }
            match word.as_str() {
                "null" => Json::Null,
                "true" => Json::Bool(true),
                "false" => Json::Bool(false),
                _ => panic!("unexpected {word}"),
            }
        }
    }
}

// The rest of a string whose opening quote was taken.
fn parse_string(chars: &mut Vec<char>) -> String {
    let mut text = String::new();
    loop {
        match chars.pop().expect("an ended string") {
            '"' => return text,
            '\\' => match chars.pop().expect("an escape") {
                'u' => {
                    let hex = |chars: &mut Vec<char>| {
                        let digits: String = (0..4).map(|_| chars.pop().unwrap()).collect();
                        u32::from_str_radix(&digits, 16).unwrap()
                    };
                    let mut code = hex(chars);
                    if (0xD800..0xDC00).contains(&code) {
                        assert_eq!((chars.pop(), chars.pop()), (Some('\\'), Some('u')));
                        code = 0x10000 + ((code - 0xD800) << 10) + (hex(chars) - 0xDC00);
                    }
                    text.push(char::from_u32(code).expect("a character"));
                }
                'n' => text.push('\n'),
                't' => text.push('\t'),
                'r' => text.push('\r'),
                'b' => text.push('\u{8}'),
                'f' => text.push('\u{c}'),
                c => text.push(c), // '"', '\\' and '/'
            },
            c => {
                assert!(c >= ' ', "a raw control character in a string");
                text.push(c);
            }
        }
    }
}

fn kit_dir() -> PathBuf {
    PathBuf::from(env!("CARGO_MANIFEST_DIR"))
}

/// The table: KCS_CASES, or kits/cases.json beside this kit.
pub fn cases() -> Json {
    let path = std::env::var_os("KCS_CASES")
        .map_or_else(|| kit_dir().join("../cases.json"), PathBuf::from);
    Json::parse(
        &std::fs::read_to_string(&path).unwrap_or_else(|e| panic!("{}: {e}", path.display())),
    )
}

/// The built service: KCS_SERVICE (which must be there), or the default build of this
/// repository; None (and a line saying so) when that is not there, and the test that needs it
/// is skipped.
pub fn service() -> Option<PathBuf> {
    if let Some(path) = std::env::var_os("KCS_SERVICE") {
        let path = PathBuf::from(path);
        assert!(
            path.is_file(),
            "KCS_SERVICE names no file: {}",
            path.display()
        );
        return Some(path);
    }
    let name = format!("korvessa-client-services{}", std::env::consts::EXE_SUFFIX);
    let path = kit_dir().join("../../build").join(name);
    if path.is_file() {
        return Some(path);
    }
    eprintln!(
        "skipped: no service at {} (set KCS_SERVICE)",
        path.display()
    );
    None
}

/// A fresh folder of this test run's; it is removed when dropped.
pub struct Scratch(pub PathBuf);

impl Scratch {
    pub fn new() -> Scratch {
        static COUNT: AtomicUsize = AtomicUsize::new(0);
        let n = COUNT.fetch_add(1, Ordering::SeqCst);
        let path = std::env::temp_dir().join(format!("kcs-rust-kit-{}-{n}", std::process::id()));
        std::fs::create_dir_all(path.join("rt")).unwrap();
        #[cfg(unix)]
        {
            use std::os::unix::fs::PermissionsExt;
            std::fs::set_permissions(path.join("rt"), std::fs::Permissions::from_mode(0o700))
                .unwrap();
        }
        Scratch(path)
    }

    /// Options for the program at `service` with the table's token and a private runtime
    /// directory, so that a registered presence never reaches a real Discord.
    pub fn options(&self, service: &Path) -> SidecarOptions {
        SidecarOptions::new(&self.0)
            .service_path(service)
            .token(cases().at("token").text())
            .env("XDG_RUNTIME_DIR", self.0.join("rt"))
    }

    /// A stand-in for the service (POSIX): a shell script with this body that first writes its
    /// pid beside itself, so that a test can tell whether the kit left it running.
    pub fn stand_in(&self, body: &str) -> PathBuf {
        static COUNT: AtomicUsize = AtomicUsize::new(0);
        let path = self.0.join(format!(
            "program-{}.sh",
            COUNT.fetch_add(1, Ordering::SeqCst)
        ));
        std::fs::write(
            &path,
            format!("#!/bin/sh\necho $$ > '{}.pid'\n{body}\n", path.display()),
        )
        .unwrap();
        #[cfg(unix)]
        {
            use std::os::unix::fs::PermissionsExt;
            std::fs::set_permissions(&path, std::fs::Permissions::from_mode(0o755)).unwrap();
        }
        path
    }
}

impl Drop for Scratch {
    fn drop(&mut self) {
        let _ = std::fs::remove_dir_all(&self.0);
    }
}

/// Whether the stand-in at `path` still runs: its process exists and is not a zombie.
pub fn stand_in_runs(path: &Path) -> bool {
    let pid = std::fs::read_to_string(format!("{}.pid", path.display())).unwrap_or_default();
    match std::fs::read_to_string(format!("/proc/{}/stat", pid.trim())) {
        Ok(stat) => {
            !pid.trim().is_empty() && !stat[stat.rfind(") ").unwrap() + 2..].starts_with('Z')
        }
        Err(_) => false,
    }
}

/// camelCase as snake_case: the table's option and field names as the kit spells them.
pub fn snake(name: &str) -> String {
    name.chars().fold(String::new(), |mut out, c| {
        if c.is_ascii_uppercase() {
            out.push('_');
        }
        out.push(c.to_ascii_lowercase());
        out
    })
}

/// The error matches the row's "error": its kind, the option its message begins with, the exit
/// status, the diagnostics and the text it must hold; and nothing of it shows the token.
pub fn check_error(error: &Error, expected: &Json, label: &str) {
    let kind = match expected.at("kind").text() {
        "argument" => ErrorKind::InvalidArgument,
        "spawn" => ErrorKind::Spawn,
        "exited" => ErrorKind::Exited,
        "announce-timeout" => ErrorKind::AnnounceTimeout,
        "bad-announcement" => ErrorKind::BadAnnouncement,
        "http" => ErrorKind::Http,
        "connection" => ErrorKind::Connection,
        other => panic!("{label}: unknown kind {other}"),
    };
    assert_eq!(error.kind(), kind, "{label}: {error}");
    let message = error.to_string();
    if let Some(option) = expected.get("option") {
        assert!(
            message.starts_with(&format!("{} ", snake(option.text()))),
            "{label}: {message}"
        );
    }
    if let Some(status) = expected.get("exitStatus") {
        assert_eq!(
            error.exit_status().and_then(|exit| exit.code),
            status.number(),
            "{label}: {error:?}"
        );
    }
    if let Some(lines) = expected.get("diagnostics") {
        let lines: Vec<&str> = lines.items().iter().map(Json::text).collect();
        assert_eq!(error.diagnostics(), lines.as_slice(), "{label}");
    }
    if let Some(says) = expected.get("says") {
        assert!(message.contains(says.text()), "{label}: {message}");
    }
    let shown = format!(
        "{error} {error:?} {:?} {:?}",
        error.diagnostics(),
        error.body()
    );
    assert!(
        !shown.contains(cases().at("token").text()) && !shown.contains(&"x".repeat(31)),
        "{label}: {shown}"
    );
}

/// Runs a step of the table ("call", "record", then "returns" or "error") against the sidecar.
/// A record number that its Rust type cannot hold is refused by the type: the step is skipped.
pub fn run_step(sidecar: &Sidecar, step: &Json) {
    let call = step.at("call").text();
    let record = step.get("record");
    let label = format!("{call} {record:?}");
    let outcome = match call {
        "checkHealth" => sidecar.check_health().map(|()| None),
        "takeLaunchTicket" => sidecar.take_launch_ticket(),
        "putLaunchTicket" => match ticket(record.unwrap()) {
            Some(ticket) => sidecar.put_launch_ticket(&ticket).map(|()| None),
            None => return,
        },
        "putPresenceSession" => {
            let record = record.unwrap();
            let pid = match record.at("pid") {
                Json::Text(launcher) if launcher == "launcher" => Some(std::process::id()),
                number => number.number(),
            };
            match (pid, record.at("logOffset").number()) {
                (Some(pid), Some(log_offset)) => sidecar
                    .put_presence_session(&PresenceSession { pid, log_offset })
                    .map(|()| None),
                _ => return,
            }
        }
        other => panic!("unknown call {other}"),
    };
    match step.get("error") {
        Some(expected) => check_error(
            outcome
                .as_ref()
                .err()
                .unwrap_or_else(|| panic!("{label} succeeded")),
            expected,
            &label,
        ),
        None => {
            let returned = outcome.unwrap_or_else(|error| panic!("{label}: {error}"));
            let expected = match step.at("returns") {
                Json::Null => None,
                record => Some(ticket(record).expect("a ticket the kit can hold")),
            };
            assert_eq!(returned, expected, "{label}");
        }
    }
}

fn ticket(record: &Json) -> Option<LoginTicket> {
    Some(LoginTicket {
        username: record.at("username").text().to_string(),
        client_login: record.at("clientLogin").text().to_string(),
        ticket: record.at("ticket").text().to_string(),
        expires_at: record.at("expiresAt").text().to_string(),
        ttl_seconds: record.at("ttlSeconds").number()?,
    })
}
