// The rules a value must meet before the kit starts or sends anything. A value of the wrong type
// is a TypeError, one out of range a RangeError; the message begins with the option's or field's
// name and never repeats the value (it may be the token).

// The largest whole number a JavaScript number holds exactly: an unsigned 64-bit field takes
// no more than this.
export const MAX_EXACT = Number.MAX_SAFE_INTEGER;
export const MAX_PID = 4_294_967_295;
// Node's timers take at most 2^31-1 ms; a longer delay would fire at once.
export const MAX_TIMEOUT_MS = 2_147_483_647;

// In a pattern with the u flag a surrogate pair is one code point, so only a lone one matches.
const LONE_SURROGATE = /[\uD800-\uDFFF]/u;
// The token travels in an HTTP header: printable ASCII without spaces.
const TOKEN = /^[\x21-\x7E]{32,}$/;

export function checkObject(name: string, value: unknown): asserts value is object {
  if (typeof value !== 'object' || value === null || Array.isArray(value)) {
    throw new TypeError(`${name} must be an object`);
  }
}

export function checkText(name: string, value: unknown): asserts value is string {
  if (typeof value !== 'string') throw new TypeError(`${name} must be a string`);
  if (LONE_SURROGATE.test(value)) {
    throw new RangeError(`${name} must be well-formed Unicode (it holds a lone surrogate)`);
  }
}

export function checkToken(value: unknown): asserts value is string {
  if (typeof value !== 'string') throw new TypeError('token must be a string');
  if (!TOKEN.test(value)) {
    throw new RangeError(
      'token must be at least 32 characters of printable ASCII without spaces (0x21 to 0x7E)',
    );
  }
}

export function checkWholeNumber(
  name: string,
  value: unknown,
  min: number,
  max: number,
): asserts value is number {
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number`);
  if (!Number.isSafeInteger(value) || value < min || value > max) {
    throw new RangeError(`${name} must be a whole number from ${min} to ${max}`);
  }
}

export function checkTimeout(name: string, value: unknown): void {
  if (value === undefined) return;
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number`);
  if (!(value > 0 && value <= MAX_TIMEOUT_MS)) {
    throw new RangeError(`${name} must be more than 0 and at most ${MAX_TIMEOUT_MS} ms`);
  }
}

export function checkSignal(value: unknown): AbortSignal | undefined {
  if (value === undefined) return undefined;
  if (!(value instanceof AbortSignal)) throw new TypeError('signal must be an AbortSignal');
  return value;
}
