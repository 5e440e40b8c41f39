// Types of the module entry (kestrix.mjs): the same object as the classic
// script's global, as the default export, and its members by name.
/// <reference path="./kestrix.d.ts" />

declare const client: Kestrix.Library;
export default client;
export declare const createClient: Kestrix.Library["createClient"];
export declare const KestrixError: Kestrix.KestrixErrorConstructor;
export declare const EXTENSION_ID: string;
export declare const VERSION: string;
export declare const MAX_REQUEST_BYTES: number;
export declare const COMMANDS: readonly string[];
export declare const PRINT_JOBS: readonly string[];
export declare const ERROR_CODES: readonly Kestrix.ErrorCode[];
export type ErrorCode = Kestrix.ErrorCode;
export type Job = Kestrix.Job;
export type JobState = Kestrix.JobState;
export type JobResult = Kestrix.JobResult;
export type JobOutcome = Kestrix.JobOutcome;
export type Client = Kestrix.Client;
export type ClientOptions = Kestrix.ClientOptions;
