// ES module entry of the page library: import kestrix, { createClient } from "./kestrix.mjs".
// kestrix.js is written to run unchanged as a module too; it leaves its object on globalThis.
import "./kestrix.js";

const kestrix = globalThis.kestrix;
export default kestrix;
export const { createClient, KestrixError, EXTENSION_ID, VERSION, MAX_REQUEST_BYTES, COMMANDS, PRINT_JOBS, ERROR_CODES } =
  kestrix;
