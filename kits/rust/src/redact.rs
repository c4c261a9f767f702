// Texts of the service's (or of a program standing in for it) that reach a message, an error or
// the diagnostics callback pass through here: a program that echoes its input would otherwise
// put the token into a log, as it is or as the configuration line spells it.

use crate::json;

#[derive(Clone)]
pub(crate) struct Redaction {
    token: String,
    // The token as a JSON string's inside, which differs where it holds '"' or '\'.
    escaped: String,
}

impl Redaction {
    pub(crate) fn new(token: &str) -> Redaction {
        let quoted = json::quote(token);
        Redaction {
            token: token.to_string(),
            escaped: quoted[1..quoted.len() - 1].to_string(),
        }
    }

    pub(crate) fn apply(&self, text: &str) -> String {
        text.replace(&self.token, "<token>")
            .replace(&self.escaped, "<token>")
    }
}

/// The text cut to at most 200 characters, to be read in a message.
pub(crate) fn clip(text: &str) -> String {
    match text.char_indices().nth(200) {
        Some((end, _)) => format!("{}...", &text[..end]),
        None => text.to_string(),
    }
}
