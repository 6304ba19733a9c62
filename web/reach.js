// Why a page cannot reach the service: a socket the browser blocked looks
// exactly like a port where nothing listens, so the browser is asked what
// it knows before the page is told.

function onLocalhost() {
  const host = globalThis.location ? location.hostname : "localhost";
  return host === "localhost" || host.endsWith(".localhost") || host === "[::1]" || /^127\./.test(host);
}

// A socket the browser blocked looks exactly like a port where nothing
// listens, so ask the browser what it knows about local network access.
async function localNetworkPermission() {
  const permissions = globalThis.navigator && navigator.permissions;
  if (!permissions) return "unknown";
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      return (await permissions.query({ name })).state;
    } catch {
      // This browser does not know the name: try the older one.
    }
  }
  return "unknown";
}

const START_HINT = "Start it with \"systemctl --user start velloscan\" (or log in again); " +
  "from a source tree, ./scripts/run starts it on simulated scanners.";

export async function explainFailure(url) {
  const permission = await localNetworkPermission();
  const causes = [];
  let reason = "";
  // A browser that knows neither permission does not enforce it.
  if (permission !== "granted" && permission !== "unknown" && !onLocalhost()) {
    causes.push("local-network-access");
    reason += globalThis.isSecureContext
      ? "The browser's local network access may have blocked it: accept the browser's prompt to let this site " +
        "reach devices on this computer (or allow it in the site's settings), or ask the administrator to run " +
        "velloscan-allow-site for this site. "
      : "The browser's local network access may have blocked it: this page is served over plain HTTP, where the " +
        "browser refuses without asking. Serve the page over HTTPS and accept the prompt, or ask the administrator " +
        "to run velloscan-allow-site for this site. ";
  }
  causes.push("no-service");
  reason += `No service may be listening at ${url}. ${START_HINT}`;
  return { reason, causes };
}
