// rust-launcher [CLIENT_DIR]: what a game launcher does with korvessa-client-services through
// the crate korvessa-launcher-kit. It starts the service that lies beside its own executable
// (where a Tauri bundle puts the sidecar), stores a launch ticket and takes it back (the way
// the game client would), registers a game for presence (itself, from the current end of the
// proxy log), prints each step, and ends the service. Status 0 when every step worked.

use std::process::ExitCode;

use korvessa_launcher_kit::{
    proxy_log_offset, LoginTicket, PresenceSession, Sidecar, SidecarOptions,
};

fn main() -> ExitCode {
    let args: Vec<String> = std::env::args().skip(1).collect();
    if args.len() > 1 {
        eprintln!("usage: rust-launcher [CLIENT_DIR]");
        return ExitCode::from(2);
    }
    let client_dir = args.first().cloned().unwrap_or_default();
    match run(&client_dir) {
        Ok(()) => ExitCode::SUCCESS,
        Err(error) => {
            eprintln!("rust-launcher: {error}");
            ExitCode::FAILURE
        }
    }
}

fn run(client_dir: &str) -> Result<(), Box<dyn std::error::Error>> {
    // No service_path: the one beside this program. No token: a fresh random one. No
    // launcher_pid: the service stays beside this process.
    let options =
        SidecarOptions::new(client_dir).on_diagnostic(|line| println!("service says: {line}"));
    let sidecar = Sidecar::start(options)?;
    println!(
        "started the service: pid {}, {}",
        sidecar.pid(),
        sidecar.url()
    );

    sidecar.check_health()?;
    println!("GET /health answered 200 OK");

    let ticket = LoginTicket {
        username: "ann".into(),
        client_login: "!ann".into(),
        ticket: "T-example".into(),
        expires_at: "2026-01-01T00:00:00Z".into(),
        ttl_seconds: 3600,
    };
    sidecar.put_launch_ticket(&ticket)?;
    println!("stored a launch ticket for {}", ticket.client_login);
    if sidecar.take_launch_ticket()?.as_ref() != Some(&ticket) {
        return Err("the ticket taken back is not the one stored".into());
    }
    println!("took the ticket back");
    if sidecar.take_launch_ticket()?.is_some() {
        return Err("the ticket was handed out twice".into());
    }
    println!("a second take found none");

    let game = PresenceSession {
        pid: std::process::id(),
        log_offset: proxy_log_offset(client_dir)?,
    };
    sidecar.put_presence_session(&game)?;
    println!(
        "registered pid {} for presence, from offset {} of the proxy log",
        game.pid, game.log_offset
    );

    // A launcher that simply exits ends the service as well (status 0 within about 100 ms);
    // this one ends it at once.
    let end = sidecar.stop()?;
    println!("stopped the service ({end})");
    Ok(())
}
