// One request to the service and its whole reply, over a connection of its own straight to
// 127.0.0.1 (never through a proxy). The service reads one request a connection and closes it
// after its reply, so the reply is read to the end of the stream. No "Expect: 100-continue":
// the service never sends an interim reply.

use std::io::{self, Read, Write};
use std::net::{Ipv4Addr, SocketAddr, TcpStream};
use std::time::{Duration, Instant};

use crate::protocol::{Route, TOKEN_HEADER};
use crate::{Error, ErrorKind};

// The longest reply the kit reads: a launch ticket is far smaller.
const MAX_REPLY_BYTES: usize = 16 * 1024 * 1024;

pub(crate) struct Reply {
    pub(crate) status: u16,
    // "204 No Content": the code and the reason phrase.
    pub(crate) status_text: String,
    pub(crate) body: Vec<u8>,
}

impl Reply {
    pub(crate) fn body_text(&self) -> String {
        String::from_utf8_lossy(&self.body).into_owned()
    }
}

/// Sends the request (with a JSON body, when given) and reads the reply, all within `timeout`.
pub(crate) fn request(
    port: u16,
    token: &str,
    route: Route,
    body: Option<&str>,
    timeout: Duration,
) -> Result<Reply, Error> {
    let failed = |reason: String| {
        Error::new(
            ErrorKind::Connection,
            format!("{route} could not be completed: {reason}"),
        )
    };
    let timed_out = || {
        failed(format!(
            "no complete reply within {}",
            crate::sidecar::duration_text(timeout)
        ))
    };
    let deadline = Instant::now() + timeout;
    let left = || {
        deadline
            .checked_duration_since(Instant::now())
            .filter(|left| !left.is_zero())
    };
    let io_failure = |error: io::Error| match error.kind() {
        io::ErrorKind::WouldBlock | io::ErrorKind::TimedOut => timed_out(),
        _ => failed(error.to_string()).with_source(error),
    };

    let address = SocketAddr::from((Ipv4Addr::LOCALHOST, port));
    let mut stream = TcpStream::connect_timeout(&address, timeout).map_err(io_failure)?;
    let _ = stream.set_nodelay(true);

    let mut message = format!(
        "{} {} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{TOKEN_HEADER}: {token}\r\nConnection: close\r\n",
        route.method, route.path
    );
    if let Some(body) = body {
        message.push_str(&format!(
            "Content-Type: application/json\r\nContent-Length: {}\r\n",
            body.len()
        ));
    }
    message.push_str("\r\n");
    message.push_str(body.unwrap_or(""));
    stream
        .set_write_timeout(Some(left().ok_or_else(timed_out)?))
        .map_err(io_failure)?;
    stream.write_all(message.as_bytes()).map_err(io_failure)?;

    let mut reply = Vec::new();
    let mut chunk = [0u8; 8192];
    loop {
        stream
            .set_read_timeout(Some(left().ok_or_else(timed_out)?))
            .map_err(io_failure)?;
        match stream.read(&mut chunk) {
            Ok(0) => break,
            Ok(read) => {
                if reply.len() + read > MAX_REPLY_BYTES {
                    return Err(failed(format!(
                        "the reply is longer than {MAX_REPLY_BYTES} bytes"
                    )));
                }
                reply.extend_from_slice(&chunk[..read]);
            }
            Err(error) if error.kind() == io::ErrorKind::Interrupted => {}
            Err(error) => return Err(io_failure(error)),
        }
    }
    parse(&reply).ok_or_else(|| failed("the reply is not a whole HTTP/1.1 reply".to_string()))
}

// Splits a whole reply into its status and body; None when it is cut short or not HTTP/1.x.
fn parse(reply: &[u8]) -> Option<Reply> {
    let head_end = reply.windows(4).position(|window| window == b"\r\n\r\n")?;
    let head = std::str::from_utf8(&reply[..head_end]).ok()?;
    let mut lines = head.split("\r\n");
    let status_line = lines.next()?.strip_prefix("HTTP/1.")?;
    let mut parts = status_line.splitn(3, ' ');
    let _minor = parts.next().filter(|minor| minor.len() == 1)?;
    let code = parts
        .next()
        .filter(|code| code.len() == 3 && code.bytes().all(|b| b.is_ascii_digit()))?;
    let status: u16 = code.parse().ok()?;
    let reason = parts.next().unwrap_or("");
    let mut body = &reply[head_end + 4..];
    for line in lines {
        let (name, value) = line.split_once(':')?;
        if name.trim().eq_ignore_ascii_case("content-length") {
            let length: usize = value.trim().parse().ok()?;
            body = body.get(..length)?; // fewer bytes: the reply was cut short
        } else if name.trim().eq_ignore_ascii_case("transfer-encoding") {
            return None; // the service sends whole bodies with their length only
        }
    }
    Some(Reply {
        status,
        status_text: format!("{status} {reason}").trim_end().to_string(),
        body: body.to_vec(),
    })
}
