using System.Reflection.PortableExecutable;

namespace Korvessa.LauncherKit.Tests;

// The kit's assembly, as the package ships it: signed with the committed key (a real signature,
// not public signing's zeros), with its portable PDB inside.
public class AssemblyTests
{
    [Fact]
    public void StrongNamedWithEmbeddedSymbols()
    {
        var kit = typeof(Sidecar).Assembly;
        Assert.Equal("ef8ad99a83e3edf3", Convert.ToHexStringLower(kit.GetName().GetPublicKeyToken()!));
        byte[] image = File.ReadAllBytes(kit.Location);
        using var pe = new PEReader(new MemoryStream(image));
        CorHeader cor = pe.PEHeaders.CorHeader!;
        Assert.True(cor.Flags.HasFlag(CorFlags.StrongNameSigned));
        Assert.True(pe.PEHeaders.TryGetDirectoryOffset(cor.StrongNameSignatureDirectory, out int offset));
        Assert.Contains(image.Skip(offset).Take(cor.StrongNameSignatureDirectory.Size), b => b != 0);
        Assert.Contains(pe.ReadDebugDirectory(), entry => entry.Type == DebugDirectoryEntryType.EmbeddedPortablePdb);
    }
}
