// Cuts a pipe's bytes into lines of at most a given length, so that a program that writes no
// line feed cannot make the kit hold an unbounded amount of memory.

use std::io::{self, BufRead, BufReader, Read};

pub(crate) struct Lines<R> {
    reader: BufReader<R>,
    max: usize,
    // The last line was handed on as a piece of max bytes: a line feed right after it ends that
    // line, it does not make an empty one.
    cut: bool,
}

impl<R: Read> Lines<R> {
    pub(crate) fn new(source: R, max: usize) -> Lines<R> {
        Lines {
            reader: BufReader::new(source),
            max,
            cut: false,
        }
    }

    /// The next line without its line feed (and without a carriage return before it); a
    /// longer line comes in pieces of `max` bytes; a last line without a line feed comes too.
    /// `None` at the end of the stream.
    pub(crate) fn next_line(&mut self) -> io::Result<Option<Vec<u8>>> {
        let mut line = Vec::new();
        loop {
            let available = match self.reader.fill_buf() {
                Ok(available) => available,
                Err(error) if error.kind() == io::ErrorKind::Interrupted => continue,
                Err(error) => return Err(error),
            };
            if available.is_empty() {
                self.cut = false;
                return Ok(if line.is_empty() { None } else { Some(line) });
            }
            let window = &available[..available.len().min(self.max - line.len())];
            if let Some(end) = window.iter().position(|&b| b == b'\n') {
                line.extend_from_slice(&window[..end]);
                self.reader.consume(end + 1);
                if line.is_empty() && self.cut {
                    self.cut = false;
                    continue;
                }
                self.cut = false;
                if line.last() == Some(&b'\r') {
                    line.pop();
                }
                return Ok(Some(line));
            }
            let taken = window.len();
            line.extend_from_slice(window);
            self.reader.consume(taken);
            if line.len() == self.max {
                self.cut = true;
                return Ok(Some(line));
            }
        }
    }

    /// Reads the rest of the stream and drops it.
    pub(crate) fn drain(mut self) {
        let _ = io::copy(&mut self.reader, &mut io::sink());
    }
}

#[cfg(test)]
mod tests {
    use super::Lines;

    #[test]
    fn lines_are_cut_at_the_limit_and_keep_no_empty_piece() {
        let input: &[u8] = b"on\r\n1234\n12345678\nabcdefghij\n\nlast";
        let mut lines = Lines::new(input, 4);
        let mut seen = Vec::new();
        while let Some(line) = lines.next_line().unwrap() {
            seen.push(String::from_utf8(line).unwrap());
        }
        assert_eq!(
            seen,
            ["on", "1234", "1234", "5678", "abcd", "efgh", "ij", "", "last"]
        );
    }
}
