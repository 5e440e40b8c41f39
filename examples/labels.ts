// The page library from TypeScript, as a bundled application imports the
// package: a roll of labels, each one waited for, a wrong printer told apart
// from the rest. Only type-checked here (npm run check); the demo page is demo.js.
import kestrix, { KestrixError, type JobOutcome } from "kestrix-page";

export async function printLabels(texts: string[], printer: string): Promise<JobOutcome[]> {
  const client = kestrix.createClient({ timeout: 30000 });
  if (!(await client.ready())) throw new Error("the Kestrix extension is not there");
  const done: JobOutcome[] = [];
  for (const text of texts) {
    try {
      done.push(await client.print({ html: `<b>${text}</b>`, printer, paper: { width: 62, height: 29 }, wait: true }));
    } catch (e) {
      if (e instanceof KestrixError && e.code === "printerNotFound") {
        throw new Error(`no printer ${printer}; there are ${e.printers?.join(", ")}`);
      }
      throw e;
    }
  }
  return done;
}
