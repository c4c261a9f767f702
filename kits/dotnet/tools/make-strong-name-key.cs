// make-strong-name-key.cs KEY_FILE: writes a new 1024-bit RSA key pair in the strong-name key
// format (.snk: the CryptoAPI PRIVATEKEYBLOB that RSACryptoServiceProvider exports), which the
// compiler reads through AssemblyOriginatorKeyFile, and prints its public key in hex (for an
// InternalsVisibleTo) and its public key token. Run it with `dotnet run make-strong-name-key.cs
// -- KEY_FILE` (.NET 10 and later). The kit's key was made so once and is committed: a new key
// is a new identity for the assembly. 1024 bits: the size sn -k makes, which every .NET
// Framework loader takes; a strong name is an identity, not a security boundary.
#:property RestorePackagesWithLockFile=false
using System;
using System.IO;
using System.Linq;
using System.Security.Cryptography;

if (args.Length != 1)
{
    Console.Error.WriteLine("usage: make-strong-name-key.cs KEY_FILE");
    return 2;
}
using var rsa = new RSACryptoServiceProvider(1024);
File.WriteAllBytes(args[0], SigningKey(rsa.ExportCspBlob(includePrivateParameters: true)));

// The public key as an assembly holds it: signature and hash algorithm ids (CALG_RSA_SIGN,
// CALG_SHA1), the blob's length, then the PUBLICKEYBLOB.
byte[] blob = SigningKey(rsa.ExportCspBlob(includePrivateParameters: false));
byte[] header = [0x00, 0x24, 0x00, 0x00, 0x04, 0x80, 0x00, 0x00, .. BitConverter.GetBytes(blob.Length)];
byte[] publicKey = [.. header, .. blob];
// The token: the last 8 bytes of the public key's SHA-1, reversed.
byte[] token = SHA1.HashData(publicKey)[^8..].Reverse().ToArray();
Console.WriteLine("public key: " + Convert.ToHexStringLower(publicKey));
Console.WriteLine("public key token: " + Convert.ToHexStringLower(token));
return 0;

// The blob marked as a signing key (its BLOBHEADER's aiKeyAlg CALG_RSA_SIGN, not the key
// exchange key that is exported), as sn makes it and the compiler puts it in the assembly.
static byte[] SigningKey(byte[] blob)
{
    BitConverter.GetBytes(0x2400).CopyTo(blob, 4);
    return blob;
}
