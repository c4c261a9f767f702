// The little JSON the kit speaks: compact objects of strings and whole numbers out (the
// configuration line, the two records), and a launch ticket in. The reader checks the whole
// grammar, so a reply that is not JSON is not taken for a ticket.

use std::fmt::Write;

/// A member's value as the kit writes it.
pub(crate) enum Value<'a> {
    Text(&'a str),
    Number(u64),
}

/// `{"name":value,...}` in the given order, without spaces.
pub(crate) fn object(members: &[(&str, Value<'_>)]) -> String {
    let mut out = String::from("{");
    for (index, (name, value)) in members.iter().enumerate() {
        if index > 0 {
            out.push(',');
        }
        quote_into(&mut out, name);
        out.push(':');
        match value {
            Value::Text(text) => quote_into(&mut out, text),
            Value::Number(number) => {
                let _ = write!(out, "{number}");
            }
        }
    }
    out.push('}');
    out
}

/// The text as a JSON string, with its quotes.
pub(crate) fn quote(text: &str) -> String {
    let mut out = String::with_capacity(text.len() + 2);
    quote_into(&mut out, text);
    out
}

fn quote_into(out: &mut String, text: &str) {
    out.push('"');
    for c in text.chars() {
        match c {
            '"' => out.push_str("\\\""),
            '\\' => out.push_str("\\\\"),
            '\n' => out.push_str("\\n"),
            '\r' => out.push_str("\\r"),
            '\t' => out.push_str("\\t"),
            c if c < ' ' => {
                let _ = write!(out, "\\u{:04x}", u32::from(c));
            }
            c => out.push(c),
        }
    }
    out.push('"');
}

/// A member's value as the kit reads it: only strings and whole numbers are kept.
#[derive(Debug, PartialEq, Eq)]
pub(crate) enum Read {
    Text(String),
    Number(u64),
    Other,
}

// Nesting the reader follows before it gives up: a hostile reply must not exhaust the stack.
const MAX_DEPTH: usize = 32;

/// The members of the JSON object that is the whole of `text`, in order; `None` when `text` is
/// not one object, or when a member's name comes twice.
pub(crate) fn read_object(text: &str) -> Option<Vec<(String, Read)>> {
    let mut reader = Reader {
        bytes: text.as_bytes(),
        text,
        at: 0,
    };
    reader.space();
    let members = reader.object(0)?;
    reader.space();
    if reader.at != reader.bytes.len() {
        return None;
    }
    for (index, (name, _)) in members.iter().enumerate() {
        if members[..index].iter().any(|(other, _)| other == name) {
            return None;
        }
    }
    Some(members)
}

struct Reader<'a> {
    bytes: &'a [u8],
    text: &'a str,
    at: usize,
}

impl Reader<'_> {
    fn peek(&self) -> Option<u8> {
        self.bytes.get(self.at).copied()
    }

    fn space(&mut self) {
        while matches!(self.peek(), Some(b' ' | b'\t' | b'\n' | b'\r')) {
            self.at += 1;
        }
    }

    fn expect(&mut self, byte: u8) -> Option<()> {
        self.space();
        if self.peek() == Some(byte) {
            self.at += 1;
            Some(())
        } else {
            None
        }
    }

    fn object(&mut self, depth: usize) -> Option<Vec<(String, Read)>> {
        self.expect(b'{')?;
        let mut members = Vec::new();
        self.space();
        if self.peek() == Some(b'}') {
            self.at += 1;
            return Some(members);
        }
        loop {
            self.space();
            let name = self.string()?;
            self.expect(b':')?;
            let value = self.value(depth + 1)?;
            members.push((name, value));
            self.space();
            match self.peek()? {
                b',' => self.at += 1,
                b'}' => {
                    self.at += 1;
                    return Some(members);
                }
                _ => return None,
            }
        }
    }

    fn array(&mut self, depth: usize) -> Option<()> {
        self.expect(b'[')?;
        self.space();
        if self.peek() == Some(b']') {
            self.at += 1;
            return Some(());
        }
        loop {
            self.value(depth + 1)?;
            self.space();
            match self.peek()? {
                b',' => self.at += 1,
                b']' => {
                    self.at += 1;
                    return Some(());
                }
                _ => return None,
            }
        }
    }

    fn value(&mut self, depth: usize) -> Option<Read> {
        if depth > MAX_DEPTH {
            return None;
        }
        self.space();
        match self.peek()? {
            b'"' => self.string().map(Read::Text),
            b'{' => self.object(depth).map(|_| Read::Other),
            b'[' => self.array(depth).map(|_| Read::Other),
            b't' => self.literal("true"),
            b'f' => self.literal("false"),
            b'n' => self.literal("null"),
            b'-' | b'0'..=b'9' => self.number(),
            _ => None,
        }
    }

    fn literal(&mut self, word: &str) -> Option<Read> {
        if self.text[self.at..].starts_with(word) {
            self.at += word.len();
            Some(Read::Other)
        } else {
            None
        }
    }

    // A number by the JSON grammar; a whole number from 0 to 2^64-1 is kept as one.
    fn number(&mut self) -> Option<Read> {
        let start = self.at;
        let negative = self.peek() == Some(b'-');
        if negative {
            self.at += 1;
        }
        let digits = self.digits();
        if digits == 0 || (digits > 1 && self.bytes[self.at - digits] == b'0') {
            return None;
        }
        let mut whole = !negative;
        if self.peek() == Some(b'.') {
            self.at += 1;
            if self.digits() == 0 {
                return None;
            }
            whole = false;
        }
        if matches!(self.peek(), Some(b'e' | b'E')) {
            self.at += 1;
            if matches!(self.peek(), Some(b'+' | b'-')) {
                self.at += 1;
            }
            if self.digits() == 0 {
                return None;
            }
            whole = false;
        }
        Some(match self.text[start..self.at].parse::<u64>() {
            Ok(number) if whole => Read::Number(number),
            _ => Read::Other,
        })
    }

    fn digits(&mut self) -> usize {
        let start = self.at;
        while matches!(self.peek(), Some(b'0'..=b'9')) {
            self.at += 1;
        }
        self.at - start
    }

    fn string(&mut self) -> Option<String> {
        if self.peek() != Some(b'"') {
            return None;
        }
        self.at += 1;
        let mut out = String::new();
        loop {
            // Copies the run up to the next quote, backslash or control character whole: the
            // text is UTF-8 already, and these are single bytes in it.
            let run = self.bytes[self.at..]
                .iter()
                .position(|&b| b == b'"' || b == b'\\' || b < 0x20)?;
            out.push_str(&self.text[self.at..self.at + run]);
            self.at += run;
            match self.bytes[self.at] {
                b'"' => {
                    self.at += 1;
                    return Some(out);
                }
                b'\\' => {
                    self.at += 1;
                    let escaped = self.peek()?;
                    self.at += 1;
                    out.push(match escaped {
                        b'"' => '"',
                        b'\\' => '\\',
                        b'/' => '/',
                        b'b' => '\u{8}',
                        b'f' => '\u{c}',
                        b'n' => '\n',
                        b'r' => '\r',
                        b't' => '\t',
                        b'u' => self.unicode_escape()?,
                        _ => return None,
                    });
                }
                _ => return None, // a raw control character
            }
        }
    }

    // The character of a \uXXXX escape (its "\u" read), a surrogate pair taken together; a
    // lone surrogate is not Unicode text.
    fn unicode_escape(&mut self) -> Option<char> {
        let first = self.hex4()?;
        if !(0xD800..0xDC00).contains(&first) {
            return char::from_u32(first);
        }
        if !self.text[self.at..].starts_with("\\u") {
            return None;
        }
        self.at += 2;
        let second = self.hex4()?;
        if !(0xDC00..0xE000).contains(&second) {
            return None;
        }
        char::from_u32(0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00))
    }

    fn hex4(&mut self) -> Option<u32> {
        let digits = self.text.get(self.at..self.at + 4)?;
        if !digits.bytes().all(|b| b.is_ascii_hexdigit()) {
            return None;
        }
        self.at += 4;
        u32::from_str_radix(digits, 16).ok()
    }
}

#[cfg(test)]
mod tests {
    use super::*;

    #[test]
    fn written_text_reads_back_and_broken_json_is_refused() {
        let texts = [
            "",
            "Ånn \"the\" \\ player",
            "T-1\nsecond\tline\r\u{1}\u{1f}",
            "鍵 😀 /",
        ];
        for text in texts {
            let written = object(&[("a", Value::Text(text)), ("n", Value::Number(u64::MAX))]);
            let members = read_object(&written).expect(&written);
            assert_eq!(members[0], ("a".to_string(), Read::Text(text.to_string())));
            assert_eq!(members[1], ("n".to_string(), Read::Number(u64::MAX)));
        }
        let read = read_object(
            r#" {"a" : "\ud83d\ude00\u00e9\/", "b": [1, {"c": null}], "n": 18446744073709551616, "m": -1, "f": 1.0, "e": 1e2} "#,
        );
        let values: Vec<Read> = read
            .expect("valid")
            .into_iter()
            .map(|(_, value)| value)
            .collect();
        assert_eq!(values[0], Read::Text("😀é/".to_string()));
        assert!(values[1..].iter().all(|value| *value == Read::Other));
        for broken in [
            "",
            "{",
            "[]",
            "{\"a\":1,}",
            "{\"a\":01}",
            "{\"a\":\"\\ud800\"}",
            "{\"a\":\"\\x\"}",
            "{\"a\":\"\n\"}",
            "{\"a\":1}x",
            "{\"a\":1,\"a\":2}",
            "{\"a\":tru}",
            "{\"a\":1.}",
            "{\"a\":-}",
        ] {
            assert_eq!(read_object(broken), None, "{broken}");
        }
        let deep = format!("{{\"a\":{}{}}}", "[".repeat(100), "]".repeat(100));
        assert_eq!(read_object(&deep), None);
    }
}
