// Cuts a byte stream into lines. Bytes are kept until their line feed arrives and only whole
// lines are decoded, so a line (or a UTF-8 sequence) split across reads comes out whole.

export class LineSplitter {
  private pending: Buffer[] = [];
  private pendingLength = 0;
  private cut = false; // the current line has been handed on in pieces already

  // onLine gets each line without its line feed (and without a carriage return before it). A
  // line longer than maxLength bytes is handed on in pieces of maxLength, so a stream without
  // line feeds cannot make the kit hold an unbounded amount of memory.
  constructor(
    private readonly maxLength: number,
    private readonly onLine: (line: string) => void,
  ) {}

  push(chunk: Buffer): void {
    let start = 0;
    for (;;) {
      const end = chunk.indexOf(0x0a, start);
      if (end < 0) break;
      this.take(chunk.subarray(start, end));
      if (this.pendingLength > 0 || !this.cut) this.emit(true);
      this.cut = false;
      start = end + 1;
    }
    this.take(chunk.subarray(start));
  }

  // The end of the stream: a last line without a line feed is handed on too.
  end(): void {
    if (this.pendingLength > 0) this.emit(true);
  }

  private take(bytes: Buffer): void {
    while (bytes.length > 0) {
      const room = this.maxLength - this.pendingLength;
      this.pending.push(bytes.subarray(0, room));
      this.pendingLength += Math.min(room, bytes.length);
      bytes = bytes.subarray(room);
      if (this.pendingLength === this.maxLength) {
        this.emit(false);
        this.cut = true;
      }
    }
  }

  private emit(whole: boolean): void {
    let line = Buffer.concat(this.pending, this.pendingLength);
    this.pending = [];
    this.pendingLength = 0;
    if (whole && line.length > 0 && line[line.length - 1] === 0x0d) {
      line = line.subarray(0, line.length - 1);
    }
    this.onLine(line.toString('utf8'));
  }
}
