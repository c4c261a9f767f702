// The rows every kit runs (kits/cases.json) against the built service and stand-ins for it:
// start-up failures and successes, a whole session, calls after the end, and the wire contract.

mod common;

use std::path::{Path, PathBuf};
use std::time::Duration;

use common::{cases, check_error, run_step, service, stand_in_runs, Json, Scratch};
use korvessa_launcher_kit::{protocol, Sidecar, SidecarExit, SidecarOptions};

// The row's options applied to the test's own; None when the row holds a value that the Rust
// type cannot hold at all (the type refuses it, so there is nothing to run).
fn apply(mut options: SidecarOptions, given: Option<&Json>) -> Option<SidecarOptions> {
    for (name, value) in given.map_or(&[][..], Json::members) {
        options = match name.as_str() {
            "token" => options.token(value.text()),
            "launcherPid" => options.launcher_pid(value.number()?),
            "announceTimeoutMs" => options.announce_timeout(Duration::from_millis(value.number()?)),
            "requestTimeoutMs" => options.request_timeout(Duration::from_millis(value.number()?)),
            "servicePath" => options.service_path(value.text()),
            "clientDir" => options, // given to SidecarOptions::new, see start_options
            other => panic!("unknown option {other}"),
        };
    }
    Some(options)
}

// Options for a row, and the program they start: its stand-in, or what "service" names, or the
// built service.
fn start_options(scratch: &Scratch, row: &Json, built: &Path) -> Option<(SidecarOptions, PathBuf)> {
    let folder = scratch.0.join("services");
    std::fs::create_dir_all(&folder).unwrap();
    let path = match (row.get("standIn"), row.get("service").map(Json::text)) {
        (Some(body), _) => scratch.stand_in(body.text()),
        (None, Some("missing")) => folder.join("no-such-service"),
        (None, Some("directory")) => folder.clone(),
        (None, Some("not-runnable")) => {
            // On POSIX a script without the run bit, on Windows a file that is no program.
            let path = folder.join(format!("not-runnable{}", std::env::consts::EXE_SUFFIX));
            std::fs::write(
                &path,
                if cfg!(unix) {
                    "#!/bin/sh\n"
                } else {
                    "MZ but no program"
                },
            )
            .unwrap();
            path
        }
        (None, Some(other)) => panic!("unknown service {other}"),
        (None, None) => built.to_path_buf(),
    };
    let mut options = scratch.options(&path);
    if let Some(dir) = row.get("options").and_then(|given| given.get("clientDir")) {
        options = SidecarOptions::new(dir.text())
            .service_path(&path)
            .token(cases().at("token").text());
    }
    Some((apply(options, row.get("options"))?, path))
}

// Rows with a stand-in, or marked so, run only on POSIX.
fn runs_here(row: &Json) -> bool {
    cfg!(unix) || (row.get("standIn").is_none() && row.get("posixOnly").is_none())
}

#[test]
fn start_failures() {
    let built = match service() {
        Some(built) => built,
        None => return,
    };
    let scratch = Scratch::new();
    for (index, row) in cases().at("startFailures").items().iter().enumerate() {
        let name = row.at("name").text();
        if !runs_here(row) {
            continue;
        }
        let read_back = scratch.0.join(format!("read-back-{index}"));
        let (mut options, program) = match start_options(&scratch, row, &built) {
            Some(found) => found,
            None => continue,
        };
        if row.get("readBack").is_some() {
            options = options.env("KCS_READ_BACK", &read_back);
        }
        let error = Sidecar::start(options)
            .err()
            .unwrap_or_else(|| panic!("{name}: the start succeeded"));
        check_error(&error, row.at("error"), name);
        if row.get("standIn").is_some() {
            assert!(
                !stand_in_runs(&program),
                "{name}: the program was left running"
            );
        }
        if row.get("readBack").is_some() {
            // The configuration line, read back with the tests' own reader: exactly the token
            // and the client directory given.
            let line = std::fs::read_to_string(&read_back).unwrap();
            let given = row.at("options");
            let expected = vec![
                ("token".to_string(), given.at("token").clone()),
                ("clientDir".to_string(), given.at("clientDir").clone()),
            ];
            assert_eq!(
                Json::parse(&line).members(),
                expected.as_slice(),
                "{name}: {line}"
            );
        }
    }
}

#[test]
fn starts() {
    let built = match service() {
        Some(built) => built,
        None => return,
    };
    let scratch = Scratch::new();
    for row in cases()
        .at("starts")
        .items()
        .iter()
        .filter(|row| runs_here(row))
    {
        let name = row.at("name").text();
        let (options, _) = start_options(&scratch, row, &built).expect("options the kit can hold");
        let sidecar = Sidecar::start(options).unwrap_or_else(|error| panic!("{name}: {error}"));
        if let Some(port) = row.get("port") {
            assert_eq!(Some(sidecar.port()), port.number(), "{name}");
            assert_eq!(
                sidecar.url(),
                format!("http://127.0.0.1:{}", sidecar.port())
            );
        }
        for step in row.get("then").map_or(&[][..], Json::items) {
            run_step(&sidecar, step);
        }
        sidecar.stop().unwrap();
    }
}

#[test]
fn session_then_stop_then_calls_after_it() {
    let built = match service() {
        Some(built) => built,
        None => return,
    };
    let scratch = Scratch::new();
    let table = cases();
    let sidecar = Sidecar::start(scratch.options(&built)).unwrap();
    assert_eq!(
        sidecar.url(),
        format!("http://127.0.0.1:{}", sidecar.port())
    );
    assert_eq!(sidecar.launcher_pid(), std::process::id());
    assert_eq!(sidecar.token(), table.at("token").text());
    assert!(
        !format!("{sidecar:?}").contains(sidecar.token()),
        "Debug shows the token"
    );

    for step in table.at("session").items() {
        run_step(&sidecar, step);
    }

    let exit = sidecar.stop().unwrap();
    let killed = if cfg!(unix) {
        SidecarExit {
            code: None,
            signal: Some(9),
            killed: true,
        }
    } else {
        SidecarExit {
            code: Some(1),
            signal: None,
            killed: true,
        }
    };
    assert_eq!(exit, killed);
    assert_eq!(
        sidecar.stop().unwrap(),
        exit,
        "a second stop answers as the first"
    );
    for step in table.at("afterStop").items() {
        run_step(&sidecar, step);
    }
    let error = sidecar.check_health().unwrap_err();
    assert_eq!(error.exit_status(), Some(exit));
    assert!(
        error
            .to_string()
            .starts_with("GET /health: the service has ended ("),
        "{error}"
    );
}

#[test]
fn the_wire_contract_is_the_tables() {
    let table = cases();
    let contract = table.at("protocol");
    let routes = [
        ("health", protocol::HEALTH),
        ("putLaunchTicket", protocol::PUT_LAUNCH_TICKET),
        ("takeLaunchTicket", protocol::TAKE_LAUNCH_TICKET),
        ("putPresenceSession", protocol::PUT_PRESENCE_SESSION),
    ];
    let errors = [
        ("badRequest", protocol::ERROR_BAD_REQUEST),
        ("unauthorized", protocol::ERROR_UNAUTHORIZED),
        ("invalidTicket", protocol::ERROR_INVALID_TICKET),
        (
            "invalidPresenceSession",
            protocol::ERROR_INVALID_PRESENCE_SESSION,
        ),
        ("noLaunchSession", protocol::ERROR_NO_LAUNCH_SESSION),
        ("notFound", protocol::ERROR_NOT_FOUND),
        ("serializationFailed", protocol::ERROR_SERIALIZATION_FAILED),
    ];
    let records: [(&str, &[&str]); 3] = [
        ("config", &protocol::CONFIG_FIELDS),
        ("loginTicket", &protocol::LOGIN_TICKET_FIELDS),
        ("presenceSession", &protocol::PRESENCE_SESSION_FIELDS),
    ];
    // Every member of the table has its constant here, and every constant its member there.
    for (member, value) in contract.members() {
        match member.as_str() {
            "about" => {}
            "tokenHeader" => assert_eq!(value.text(), protocol::TOKEN_HEADER),
            "healthBody" => assert_eq!(value.text(), protocol::HEALTH_BODY),
            "proxyLogFileName" => {
                assert_eq!(value.text(), korvessa_launcher_kit::PROXY_LOG_FILE_NAME)
            }
            "routes" => {
                assert_eq!(value.members().len(), routes.len());
                for (name, route) in routes {
                    let expected = value.at(name);
                    assert_eq!(
                        (expected.at("method").text(), expected.at("path").text()),
                        (route.method, route.path),
                        "{name}"
                    );
                }
            }
            "errors" => {
                assert_eq!(value.members().len(), errors.len());
                for (name, code) in errors {
                    assert_eq!(value.at(name).text(), code, "{name}");
                    let body = Json::parse(&protocol::error_body(code));
                    assert_eq!(
                        body.members(),
                        [
                            ("ok".into(), Json::Bool(false)),
                            ("error".into(), Json::Text(code.into()))
                        ]
                    );
                }
            }
            "records" => {
                assert_eq!(value.members().len(), records.len());
                for (name, fields) in records {
                    let expected: Vec<&str> =
                        value.at(name).items().iter().map(Json::text).collect();
                    assert_eq!(expected, fields, "{name}");
                }
            }
            other => panic!("the kit has no constant for the table's protocol member {other}"),
        }
    }
}
