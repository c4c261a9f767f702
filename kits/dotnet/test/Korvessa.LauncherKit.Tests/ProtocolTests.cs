namespace Korvessa.LauncherKit.Tests;

// The kit's copy of the wire contract is the table's "protocol" (which a C++ test holds to the
// service's own header): a constant changed on either side fails here.
public class ProtocolTests
{
    private static readonly JsonElement Table = Fixtures.Cases.GetProperty("protocol");

    [Fact]
    public void ConstantsAreTheTables()
    {
        Assert.Equal(Protocol.TokenHeader, Table.GetProperty("tokenHeader").GetString());
        Assert.Equal(Protocol.HealthBody, Table.GetProperty("healthBody").GetString());
        Assert.Equal(ProxyLog.FileName, Table.GetProperty("proxyLogFileName").GetString());
        var routes = new Dictionary<string, Route>
        {
            ["health"] = Protocol.Health,
            ["putLaunchTicket"] = Protocol.PutLaunchTicket,
            ["takeLaunchTicket"] = Protocol.TakeLaunchTicket,
            ["putPresenceSession"] = Protocol.PutPresenceSession,
        };
        Assert.Equal(
            Table.GetProperty("routes").EnumerateObject().Select(r => $"{r.Name} {r.Value.GetProperty("method")} {r.Value.GetProperty("path")}"),
            routes.Select(r => $"{r.Key} {r.Value}"));
        var errors = new Dictionary<string, string>
        {
            ["badRequest"] = Protocol.Errors.BadRequest,
            ["unauthorized"] = Protocol.Errors.Unauthorized,
            ["invalidTicket"] = Protocol.Errors.InvalidTicket,
            ["invalidPresenceSession"] = Protocol.Errors.InvalidPresenceSession,
            ["noLaunchSession"] = Protocol.Errors.NoLaunchSession,
            ["notFound"] = Protocol.Errors.NotFound,
            ["serializationFailed"] = Protocol.Errors.SerializationFailed,
        };
        Assert.Equal(Table.GetProperty("errors").EnumerateObject().Select(e => (e.Name, e.Value.GetString()!)), errors.Select(e => (e.Key, e.Value)));
    }

    [Fact]
    public void RecordsAreWrittenWithTheTablesMembersInOrder()
    {
        // The configuration line's order is checked where a stand-in reads it back (StartTests).
        Assert.Equal(Members("loginTicket"), Written(Json.Encode(new LoginTicket("ann", "!ann", "T", "", 1))));
        Assert.Equal(Members("presenceSession"), Written(Json.Encode(new PresenceSession(1, 0))));
    }

    private static IEnumerable<string?> Members(string record) =>
        Table.GetProperty("records").GetProperty(record).EnumerateArray().Select(member => member.GetString());

    private static IEnumerable<string?> Written(byte[] json)
    {
        using JsonDocument document = JsonDocument.Parse(json);
        return document.RootElement.EnumerateObject().Select(member => member.Name).ToArray();
    }
}
