// Types of the Kestrix page library (kestrix.js). As a classic script it leaves
// the global `kestrix`; as a module (kestrix.mjs) it exports the same object as
// its default. docs/extension.md in the kestrix-host sources says what every
// command does; this file says what the calls take and give.

declare namespace Kestrix {
  /** Why a call failed, or why a job ended with "error". */
  type ErrorCode =
    // the way to the host
    | "extensionMissing" | "hostMissing" | "hostForbidden" | "hostExited" | "connectionClosed" | "clientClosed"
    | "notInTab" | "requestTooLarge" | "timeout" | "unknownCommand" | "badRequest"
    // the site's permissions
    | "permissionDenied" | "siteDecisionRefused"
    // jobs and the host's other refusals
    | "printerNotFound" | "optionUnsupported" | "schedulerUnreachable" | "printerError" | "renderFailed"
    | "chromiumMissing" | "networkRefused" | "pathRefused" | "noRoom" | "queueFull" | "timeLimit" | "badJob"
    | "noJob" | "noDocument" | "noElement" | "jobProcessMissing" | "submitFailed" | "followFailed"
    | "writeFailed" | "cannotConvert" | "unknownType" | "fileUnreadable" | "badData" | "jobCanceled"
    | "jobAborted" | "jobStillQueued" | "jobFailed";

  /** What a site may be allowed to do. */
  type Capability = "printers" | "readFiles" | "writeFiles" | "downloads" | "openFiles" | "deviceIds" | "settings";

  /** Who decided a refusal: the administrator's policy, the user (remembered), the user for this visit, nobody yet. */
  type DecidedBy = "policy" | "user" | "session" | "nobody";

  interface KestrixError extends Error {
    readonly name: "KestrixError";
    readonly code: ErrorCode;
    /** The command that failed. */
    readonly method?: string;
    /** permissionDenied: what the site lacks, who decided, and whether the user may still be asked. */
    readonly capability?: Capability;
    readonly decidedBy?: DecidedBy;
    readonly mayAsk?: boolean;
    readonly origin?: string;
    /** requestTooLarge: the largest request sent and this one's size, bytes of JSON in UTF-8. */
    readonly limit?: number;
    readonly size?: number;
    /** printerNotFound: the printers there are. */
    readonly printers?: string[];
    /** A job's failure: its outcome as "done" got it. */
    readonly result?: JobResult;
  }

  interface KestrixErrorConstructor {
    new (message: string, code?: ErrorCode, details?: Partial<KestrixError> | Capability): KestrixError;
    readonly prototype: KestrixError;
  }

  /** The twelve members of a job state, as onState receives them. */
  interface JobState {
    document: string;
    machineName: string;
    position: number;
    pagesPrinted: number;
    printerName: string;
    size: number;
    statusText: string;
    submittedAt: string;
    totalPages: number;
    type: string;
    userName: string;
    /** "queued", "rendering", "submitting", "pending", "held", "processing", "stopped", "completed", "canceled", "aborted". */
    status: string;
  }

  /** A job's outcome, as "done" receives it (and "listener" for the end). */
  interface JobResult {
    /** The command that started the job: "print", "printToPDF", ... */
    type: string;
    /** The host's id of the job. */
    id: string;
    /** The print scheduler's job id; 0 when the job never reached it. */
    jobId: number;
    message: string;
    /** Set when the job failed. */
    code?: ErrorCode;
    printerName?: string;
    /** printToPDF, printToImage, printPreview: the file written. */
    file?: string;
    /** printerNotFound: the printers there are. */
    printers?: string[];
    [member: string]: unknown;
  }

  type JobStatus = "success" | "error";

  interface JobOutcome {
    /** null only for a job with a listener whose outcome cannot tell. */
    status: JobStatus | null;
    result: JobResult;
  }

  /** A print job: its content, its settings, and callbacks for its events. */
  interface Job {
    html?: string;
    url?: string;
    file?: string;
    /** base64 */
    data?: string;
    /** MIME type of data or file */
    type?: string;
    printer?: string;
    paper?: string | { width: number; height: number };
    landscape?: boolean;
    copies?: number;
    margins?: number | { top?: number; right?: number; bottom?: number; left?: number };
    duplex?: boolean | "long" | "short";
    title?: string;
    pageRanges?: string;
    width?: number;
    timeout?: number;
    follow?: number;
    mediaSource?: string;
    mediaType?: string;
    colorMode?: string;
    scaling?: string;
    quality?: string;
    resolution?: string;
    collate?: boolean;
    pagesPerSheet?: number;
    outputBin?: string;
    finishings?: string;
    raw?: { hex?: string; base64?: string; text?: string; encoding?: string };
    /** Called once, when the job ends. */
    done?: (status: JobStatus, result: JobResult) => void;
    /** Called on each change of the job's state. */
    onState?: (state: JobState) => void;
    /** Instead of done and onState: every state, then the outcome (without its status text). */
    listener?: (stateOrResult: JobState | JobResult) => void;
    /** Settle the call with the job's outcome (rejecting when it failed) instead of its start. */
    wait?: boolean;
    [member: string]: unknown;
  }

  type WaitingJob = Job & { wait: true };

  interface ClientOptions {
    /** ms without a reply before a call fails with "timeout"; 0: never. Default 60000. */
    timeout?: number;
    /** ms the extension's content script may take to answer the handshake. Default 2000. */
    handshakeTimeout?: number;
    /** Talk to the extension directly (e.g. chrome.runtime), on an origin of its "externally_connectable". */
    runtime?: unknown;
    extensionId?: string;
    /** The window whose content script to talk to, instead of the page's. */
    window?: Window;
    /** The largest request sent, in bytes of JSON (UTF-8). Default MAX_REQUEST_BYTES. */
    maxRequestBytes?: number;
  }

  interface Client {
    /** Whether the extension answers in this page. */
    ready(): Promise<boolean>;
    on(type: "message", fn: (message: { [member: string]: unknown }) => void): this;
    on(type: "event", fn: (name: string, params: unknown[]) => void): this;
    on(type: "disconnect", fn: (reason: string, code: ErrorCode) => void): this;
    off(type: "message" | "event" | "disconnect", fn: (...args: any[]) => void): this;
    /** Closes the connection; calls still waiting fail with "clientClosed". */
    close(): void;

    print(job: WaitingJob, prompt?: boolean): Promise<JobOutcome>;
    print(job: Job, prompt?: boolean): Promise<void>;
    printPreview(job: WaitingJob, prompt?: boolean): Promise<JobOutcome>;
    printPreview(job: Job, prompt?: boolean): Promise<void>;
    printToPDF(job: WaitingJob, path?: string): Promise<JobOutcome>;
    printToPDF(job: Job, path?: string): Promise<boolean>;
    printToImage(job: WaitingJob, path?: string): Promise<JobOutcome>;
    printToImage(job: Job, path?: string): Promise<boolean>;

    getPrinters(): Promise<string[]>;
    getDefaultPrinter(): Promise<string>;
    setDefaultPrinter(printer: string): Promise<void>;
    getPrinterInfo(printer: string): Promise<{ [member: string]: unknown }>;
    getPrinterStatus(printer: string, detail?: boolean): Promise<{ [member: string]: unknown }>;
    getPapers(printer: string): Promise<Array<{ name: string; displayName?: string; width: number; height: number }>>;
    isCustomPaperSupported(printer: string): Promise<boolean>;
    getFonts(): Promise<string[]>;
    getVersion(): Promise<string>;
    isImplemented(method: string): Promise<boolean>;
    isExcelInstalled(): Promise<boolean>;
    isPrintableFileType(path: string): Promise<boolean>;
    getAbsoluteURL(url: string, base?: string): Promise<string>;
    about(): Promise<void>;
    readString(path: string, encoding?: string): Promise<string>;
    readBase64(path: string): Promise<string>;
    readHTML(path: string, encoding?: string): Promise<string>;
    writeString(path: string, text: string, encoding?: string): Promise<boolean>;
    writeBase64(path: string, base64: string): Promise<boolean>;
    setPrintBackground(enabled: boolean): Promise<boolean>;
    setOffsetPage(pages: number): Promise<void>;
    setupNormalOffset(offset: string): Promise<void>;
    setDragCSS(selector: string, css: string): Promise<void>;
    getLastSettings(key?: string): Promise<unknown>;
    setLastSettings(...params: unknown[]): Promise<unknown>;
    clearLastSettings(...params: unknown[]): Promise<unknown>;
    // The other commands of the host, with their parameters in order (docs/control.md).
    printDocument(...params: unknown[]): Promise<unknown>;
    printTIFF(...params: unknown[]): Promise<unknown>;
    exportAsImage(...params: unknown[]): Promise<unknown>;
    exportAsExcel(...params: unknown[]): Promise<unknown>;
    download(...params: unknown[]): Promise<unknown>;
    liveUpdate(...params: unknown[]): Promise<unknown>;
    copy(...params: unknown[]): Promise<unknown>;
    copied(...params: unknown[]): Promise<unknown>;
    chooseFile(...params: unknown[]): Promise<unknown>;
    showPageSetupDialog(...params: unknown[]): Promise<unknown>;
    openFile(...params: unknown[]): Promise<unknown>;
    getLocalMacAddress(): Promise<string>;
    getCPUSerialNo(): Promise<string>;
  }

  interface Library extends Client {
    createClient(options?: ClientOptions): Client;
    readonly KestrixError: KestrixErrorConstructor;
    readonly EXTENSION_ID: string;
    readonly VERSION: string;
    /** The largest request the library sends: the browser's 64 MiB, less 1 KiB for the extension. */
    readonly MAX_REQUEST_BYTES: number;
    readonly COMMANDS: readonly string[];
    /** The commands that start a print job (its callbacks are kept until its end). */
    readonly PRINT_JOBS: readonly string[];
    readonly ERROR_CODES: readonly ErrorCode[];
  }
}

declare var kestrix: Kestrix.Library;
