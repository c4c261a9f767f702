#if NETSTANDARD2_0
namespace System.Runtime.CompilerServices
{
    // Records need this type, which netstandard2.0 lacks; the compiler only looks for its name.
    internal static class IsExternalInit
    {
    }
}
#endif
