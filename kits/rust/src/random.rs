// A fresh access token: 32 bytes from the system's random source, hex-encoded.

use std::fmt::Write;
use std::io;

pub(crate) fn token() -> io::Result<String> {
    let mut bytes = [0u8; 32];
    fill(&mut bytes)?;
    let mut hex = String::with_capacity(64);
    for byte in bytes {
        let _ = write!(hex, "{byte:02x}");
    }
    Ok(hex)
}

#[cfg(unix)]
fn fill(bytes: &mut [u8]) -> io::Result<()> {
    use std::io::Read;
    std::fs::File::open("/dev/urandom")?.read_exact(bytes)
}

#[cfg(windows)]
#[allow(unsafe_code)]
fn fill(bytes: &mut [u8]) -> io::Result<()> {
    use std::ffi::c_void;
    #[link(name = "bcrypt")]
    extern "system" {
        fn BCryptGenRandom(algorithm: *mut c_void, buffer: *mut u8, size: u32, flags: u32) -> i32;
    }
    const BCRYPT_USE_SYSTEM_PREFERRED_RNG: u32 = 0x0000_0002;
    let size = u32::try_from(bytes.len())
        .map_err(|_| io::Error::new(io::ErrorKind::InvalidInput, "too many bytes"))?;
    // SAFETY: the buffer is valid for `size` bytes; no algorithm handle is needed with the flag.
    let status = unsafe {
        BCryptGenRandom(
            std::ptr::null_mut(),
            bytes.as_mut_ptr(),
            size,
            BCRYPT_USE_SYSTEM_PREFERRED_RNG,
        )
    };
    if status < 0 {
        return Err(io::Error::new(
            io::ErrorKind::Other,
            format!("BCryptGenRandom failed with status {status:#010x}"),
        ));
    }
    Ok(())
}
